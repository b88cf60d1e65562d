// The web page's figures, measured in this run beside their references, for
// both shows: the whole show on the virtual clock in headless Chromium against
// the native `yurn --headless --fps 60` (one `ratio web_<show> N.NNx native`
// line each), the time our code takes per frame in the real-time page (render
// + convert + draw: mean, 95th and 99th percentile), and the size of what the
// page downloads besides the data.  bench/web_bench.sh builds and runs it
// (ROUNDS=N, SHOWS="show engine", PLAIN=1 for the build without SIMD).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

import { launch, missingTools, NATIVE, openPage, ROOT, serve, SITE } from '../tests/web/support.mjs';

const ROUNDS = Number(process.env.ROUNDS ?? 3);
const SHOWS = (process.env.SHOWS ?? 'show engine').split(/\s+/).filter(Boolean);
const PLAIN = process.env.PLAIN === '1';  // the page's fallback build, as a browser without SIMD gets it
const SHOW = {
  show: { name: 'web_photo_show', code: 19 },
  engine: { name: 'web_engine_show', code: 7 },
};
const REAL_TIME_MS = 12_000;  // photograph show: the first photograph and cross-fade; engine show: its first scenes

const missing = missingTools();
if (missing) {
  console.log(`web_bench: omitido: ${missing}`);
  process.exit(0);
}

function nativeShowMs(script) {
  const start = process.hrtime.bigint();
  const run = spawnSync(path.join(NATIVE, 'yurn'), ['--headless', '--fps', '60', '--script', script], { cwd: ROOT });
  if (run.status !== SHOW[script].code) throw new Error(`native --script ${script} ended with ${run.status}`);
  return Number(process.hrtime.bigint() - start) / 1e6;
}

function query(script, extra) {
  const keys = [...extra, script === 'show' ? null : 'script=' + script, PLAIN ? 'plain' : null].filter(Boolean);
  return keys.length ? '?' + keys.join('&') : '';
}

async function virtualShowMs(browser, url, script) {
  const page = await openPage(browser, url + query(script, ['virtual', 'fps=60']));
  try {
    await page.waitForFunction(() => window.yurn && yurn.state === 'ended', { timeout: 600_000 });
    const { code, runMs, simd } = await page.evaluate(() => ({ code: yurn.code, runMs: yurn.runMs, simd: yurn.simd }));
    if (code !== SHOW[script].code) throw new Error(`page --script ${script} ended with ${code}`);
    if (simd === PLAIN) throw new Error(`the page loaded the ${simd ? 'SIMD' : 'plain'} build`);
    return runMs;
  } finally {
    await page.close();
  }
}

// Our code's time per real-time frame, sorted; the first frame (start-up) left out.
async function realTimeWork(browser, url, script) {
  const page = await openPage(browser, url + query(script, []));
  try {
    await page.waitForFunction(() => window.yurn && yurn.state === 'ready', { timeout: 60_000 });
    await page.keyboard.press('Enter');
    await page.waitForFunction((ms) => yurn.startedAt !== undefined && performance.now() - yurn.startedAt >= ms,
                               { timeout: 120_000, polling: 250 }, REAL_TIME_MS);
    const work = (await page.evaluate(() => yurn.work)).slice(1).sort((a, b) => a - b);
    await page.keyboard.press('Escape');
    return work;
  } finally {
    await page.close();
  }
}

const site = await serve(SITE);
const chromium = await launch(['--autoplay-policy=no-user-gesture-required']);
const lines = [];
try {
  console.log(`page build: ${PLAIN ? 'plain (yurn-plain.wasm)' : 'WebAssembly SIMD (yurn.wasm)'}`);
  for (const script of SHOWS) {
    // Best of ROUNDS each, alternating so both see the same machine load.
    const web = [], native = [];
    for (let round = 0; round < ROUNDS; round++) {
      native.push(nativeShowMs(script));
      web.push(await virtualShowMs(chromium.browser, site.url, script));
    }
    const bestWeb = Math.min(...web), bestNative = Math.min(...native);
    console.log(`--script ${script}, whole show on the virtual clock at 60 fps, best of ${ROUNDS}: ` +
                `headless Chromium ${bestWeb.toFixed(0)} ms (from main's start, data fetched), ` +
                `native ${bestNative.toFixed(0)} ms (the whole process)`);
    lines.push(`ratio ${SHOW[script].name} ${(bestWeb / bestNative).toFixed(2)}x native`);

    const work = await realTimeWork(chromium.browser, site.url, script);
    const at = (q) => work[Math.min(work.length - 1, Math.floor(q * work.length))];
    const mean = work.reduce((a, b) => a + b, 0) / work.length;
    console.log(`--script ${script}, real-time page, our code per frame over ${work.length} frames of the first ` +
                `${REAL_TIME_MS / 1000} s: mean ${mean.toFixed(2)} ms, median ${at(0.5).toFixed(2)} ms, ` +
                `95th percentile ${at(0.95).toFixed(2)} ms, 99th percentile ${at(0.99).toFixed(2)} ms, ` +
                `max ${work[work.length - 1].toFixed(2)} ms`);
    lines.push(`frame work ${SHOW[script].name}: mean ${mean.toFixed(2)} ms, p95 ${at(0.95).toFixed(2)} ms, ` +
               `p99 ${at(0.99).toFixed(2)} ms`);
  }
} finally {
  await chromium.close();
  site.close();
}

for (const build of [['yurn.wasm', 'yurn.js'], ['yurn-plain.wasm', 'yurn-plain.js']]) {
  if (!build.every((name) => fs.existsSync(path.join(SITE, name)))) continue;
  let total = 0;
  const sizes = build.map((name) => {
    const gz = zlib.gzipSync(fs.readFileSync(path.join(SITE, name)), { level: 9 }).length;
    total += gz;
    return `${name} ${(gz / 1024).toFixed(1)} KB`;
  });
  console.log(`download, gzip -9: ${sizes.join(' + ')} = ${(total / 1024).toFixed(1)} KB (target <= 250 KB, data excluded)`);
}
for (const line of lines) console.log(line);
console.log('targets: both ratios <= 2.00x; engine show frame work p99 <= 4 ms');
