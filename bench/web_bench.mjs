// The web page's figures, measured in this run beside their references:
// the whole photograph show on the virtual clock in headless Chromium against
// the native `yurn --headless --fps 60`, the time our code takes per frame in
// the real-time page (render + convert + draw), and the size of what the page
// downloads besides the data.  bench/web_bench.sh builds and runs it
// (SCRIPT=engine for the engine show, ROUNDS=N).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

import { launch, missingTools, NATIVE, openPage, ROOT, serve, SITE } from '../tests/web/support.mjs';

const ROUNDS = Number(process.env.ROUNDS ?? 3);
const SCRIPT = process.env.SCRIPT ?? 'show';  // SCRIPT=engine measures the engine show
const END_CODE = { show: 19, engine: 7 }[SCRIPT];
const QUERY = SCRIPT === 'show' ? '' : '&script=' + SCRIPT;
const REAL_TIME_MS = 12_000;  // the first photograph and the first cross-fade

const missing = missingTools();
if (missing) {
  console.log(`web_bench: omitido: ${missing}`);
  process.exit(0);
}

function nativeShowMs() {
  const start = process.hrtime.bigint();
  const run = spawnSync(path.join(NATIVE, 'yurn'), ['--headless', '--fps', '60', '--script', SCRIPT], { cwd: ROOT });
  if (run.status !== END_CODE) throw new Error('native show ended with ' + run.status);
  return Number(process.hrtime.bigint() - start) / 1e6;
}

const site = await serve(SITE);
const chromium = await launch(['--autoplay-policy=no-user-gesture-required']);
try {
  // Best of ROUNDS each, alternating so both see the same machine load.
  const web = [], native = [];
  for (let round = 0; round < ROUNDS; round++) {
    native.push(nativeShowMs());
    const page = await openPage(chromium.browser, site.url + '?virtual&fps=60' + QUERY);
    await page.waitForFunction(() => window.yurn && yurn.state === 'ended', { timeout: 600_000 });
    const { code, runMs } = await page.evaluate(() => ({ code: yurn.code, runMs: yurn.runMs }));
    if (code !== END_CODE) throw new Error('page show ended with ' + code);
    web.push(runMs);
    await page.close();
  }
  const bestWeb = Math.min(...web), bestNative = Math.min(...native);
  console.log(`--script ${SCRIPT}, whole show, virtual clock at 60 fps (3,001 frames), best of ${ROUNDS}:`);
  console.log(`  headless Chromium ${bestWeb.toFixed(0)} ms, native ${bestNative.toFixed(0)} ms ` +
              `(page: from main's start, data fetched; native: the whole process): ${(bestWeb / bestNative).toFixed(2)}x (target <= 5x)`);

  const page = await openPage(chromium.browser, site.url + QUERY.replace('&', '?'));
  await page.waitForFunction(() => window.yurn && yurn.state === 'ready', { timeout: 60_000 });
  await page.keyboard.press('Enter');
  await page.waitForFunction((ms) => yurn.startedAt !== undefined && performance.now() - yurn.startedAt >= ms,
                             { timeout: 120_000, polling: 250 }, REAL_TIME_MS);
  const work = (await page.evaluate(() => yurn.work)).slice(1).sort((a, b) => a - b);  // the first includes start-up
  await page.keyboard.press('Escape');
  await page.close();
  const at = (q) => work[Math.min(work.length - 1, Math.floor(q * work.length))];
  const mean = work.reduce((a, b) => a + b, 0) / work.length;
  console.log(`--script ${SCRIPT}, real-time page, our code per frame over ${work.length} frames of the first ${REAL_TIME_MS / 1000} s:`);
  console.log(`  mean ${mean.toFixed(2)} ms, median ${at(0.5).toFixed(2)} ms, 95th percentile ${at(0.95).toFixed(2)} ms, ` +
              `max ${work[work.length - 1].toFixed(2)} ms (target <= 2 ms of a 16.7 ms frame)`);
} finally {
  await chromium.close();
  site.close();
}

let total = 0;
const sizes = ['yurn.wasm', 'yurn.js'].map((name) => {
  const gz = zlib.gzipSync(fs.readFileSync(path.join(SITE, name)), { level: 9 }).length;
  total += gz;
  return `${name} ${(gz / 1024).toFixed(1)} KB`;
});
console.log(`download, gzip -9: ${sizes.join(' + ')} = ${(total / 1024).toFixed(1)} KB (target <= 250 KB, data excluded)`);
