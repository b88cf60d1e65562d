// The show in a real browser (headless Chromium): frame for frame the same as
// the native program on the virtual clock, and in real time the first
// photograph, the music, Escape and the "Error" box.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { decodePcx, decodePng, launch, missingTools, nativeDigests, NATIVE, openPage, ROOT, serve, SITE }
  from './support.mjs';

const missing = missingTools();
if (missing) console.log(`# pruebas del navegador omitidas: ${missing}`);

// Generous bounds: the machine is shared; nothing here waits a fixed time.
const WHOLE_SHOW_MS = 240_000;
const PAGE_MS = 60_000;

describe('web page', { skip: missing ?? false }, () => {
  let site, chromium;
  before(async () => {
    site = await serve(SITE);
    chromium = await launch();
  });
  after(async () => {
    await chromium?.close();
    site?.close();
  });

  async function virtualRun(query) {
    const page = await openPage(chromium.browser, site.url + '?virtual&fps=60&digests' + query);
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ended', { timeout: WHOLE_SHOW_MS });
      return await page.evaluate(() => ({ code: yurn.code, digests: yurn.digests, error: yurn.error, simd: yurn.simd,
                                          shown: document.getElementById('fin').hidden ? null
                                            : Number(document.getElementById('codigo').textContent) }));
    } finally {
      await page.close();
    }
  }

  // Both shows at 32 and 8 bits; the photograph show also through the 24-bit
  // and 5-5-5 packers, in the SIMD build's 128-bit kernels as natively in the
  // x86 ones; and both shows once in the plain build, which a browser without
  // SIMD gets.
  for (const [script, code, depths] of [['show', 19, ['32', '8', '24', '16:555', '16:555&plain']],
                                        ['engine', 7, ['32', '8', '32&plain']]]) {
    for (const setting of depths) {
      const [depth, plain] = setting.split('&');
      test(`--script ${script} at depth ${depth}${plain ? ', plain build' : ''}: every frame as natively`, async () => {
        const native = nativeDigests(['--script', script, '--depth', depth, '--fps', '60']);
        assert.equal(native.code, code);
        const web = await virtualRun(`&script=${script}&depth=${setting}`);
        assert.equal(web.simd, !plain);
        assert.equal(web.error, null);
        assert.equal(web.code, code);
        assert.equal(web.shown, code);  // the end and its code, on the page
        assert.equal(web.digests.length, native.digests.length);
        for (let i = 0; i < native.digests.length; i++)
          assert.equal(web.digests[i], native.digests[i], `frame ${i} differs`);
      });
    }
  }

  // Only the frames before the browser's turns are drawn on the virtual
  // clock, and the last one: the show's end stays on the canvas.
  test('virtual clock: the canvas ends on the last photograph', async () => {
    const page = await openPage(chromium.browser, site.url + '?virtual&fps=60');
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ended', { timeout: WHOLE_SHOW_MS });
      assert.equal(await page.evaluate(() => yurn.digests.length), 0);  // none asked for
      const rgba = Buffer.from(await page.$eval('#lienzo', (c) =>
        Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data)));
      const photo = decodePcx(fs.readFileSync(path.join(ROOT, 'datos/Foto10.pcx')));
      let wrong = 0;
      for (let i = 0; i < photo.width * photo.height; i++)
        for (let c = 0; c < 3; c++) wrong += rgba[4 * i + c] !== photo.rgb[3 * i + c];
      assert.equal(wrong, 0);
    } finally {
      await page.close();
    }
  });

  // The query is read as the command line is, key after key: a repeated key
  // is checked each time and the last counts.
  test('?depth=32&depth=7 is refused as --depth 32 --depth 7 is', async () => {
    const native = spawnSync(path.join(NATIVE, 'yurn'), ['--headless', '--fps', '60', '--depth', '32', '--depth', '7'],
                             { cwd: ROOT });
    assert.equal(native.status, 2);
    const web = await virtualRun('&depth=32&depth=7');
    assert.equal(web.code, 2);
    assert.equal(web.digests.length, 0);
    assert.equal(web.error, native.stderr.toString().trimEnd());
  });

  test('"Volver a verlo" clicked twice starts one program', async () => {
    const page = await openPage(chromium.browser, site.url + '?virtual&fps=1000&script=engine');
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ended', { timeout: WHOLE_SHOW_MS });
      await page.evaluate(() => {
        window.started = 0;
        const create = window.createYurn;
        window.createYurn = (module) => { window.started++; return create(module); };
        const again = document.getElementById('otra-vez');
        again.click();
        again.click();
      });
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: WHOLE_SHOW_MS });
      assert.equal(await page.evaluate(() => window.started), 1);
      assert.equal(await page.evaluate(() => yurn.code), 7);
    } finally {
      await page.close();
    }
  });

  // Every request the page makes until it waits for the click.
  async function requestsUntilReady(query) {
    const page = await chromium.browser.newPage();
    const requested = [];
    page.on('request', (request) => requested.push(new URL(request.url()).pathname.slice(1)));
    try {
      await page.setViewport({ width: 1000, height: 760 });
      await page.goto(site.url + query);
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
      const bar = await page.$eval('#progreso', (p) => ({ hidden: p.hidden, value: p.value }));
      return { requested, bar, simd: await page.evaluate(() => yurn.simd) };
    } finally {
      await page.close();
    }
  }

  test('each show fetches its own files only: no mesh for the photograph show', async () => {
    const photo = await requestsUntilReady('');
    assert.ok(photo.requested.includes('Yurn.pak'), photo.requested.join(' '));
    assert.deepEqual(photo.requested.filter((p) => p.startsWith('datos/')), []);
    assert.equal(photo.simd, true);  // Chromium runs WebAssembly SIMD
    assert.ok(photo.requested.includes('yurn.wasm') && !photo.requested.some((p) => p.startsWith('yurn-plain')));
    assert.deepEqual(photo.bar, { hidden: true, value: 1 });  // full, and gone once loaded

    const engine = await requestsUntilReady('?script=engine&plain');
    for (const mesh of ['datos/nudo.3ds', 'datos/esfera.txt', 'datos/toro.txt', 'datos/halo.txt'])
      assert.ok(engine.requested.includes(mesh), `${mesh} not fetched: ${engine.requested.join(' ')}`);
    assert.ok(!engine.requested.includes('Yurn.pak'));
    assert.equal(engine.simd, false);
    assert.ok(engine.requested.includes('yurn-plain.wasm') && !engine.requested.includes('yurn.wasm'));
  });

  // On a slow link the bar under "Cargando…" fills as the bytes come, never
  // going back, and is gone when the page waits for the click.
  test('loading: a progress bar that fills as the files arrive', async () => {
    const page = await chromium.browser.newPage();
    try {
      const cdp = await page.target().createCDPSession();
      await cdp.send('Network.enable');
      await cdp.send('Network.emulateNetworkConditions',
                     { offline: false, latency: 20, downloadThroughput: 1_000_000, uploadThroughput: 1_000_000 });
      await page.evaluateOnNewDocument(() => {
        window.seen = [];
        const watch = () => {
          const bar = document.getElementById('progreso');
          if (bar && !bar.hidden) window.seen.push([bar.value, document.getElementById('inicio').textContent]);
          if (!window.yurn || window.yurn.state === 'loading') requestAnimationFrame(watch);
        };
        requestAnimationFrame(watch);
      });
      await page.goto(site.url);
      await page.waitForFunction(() => window.seen.some(([v]) => v > 0.1 && v < 0.9), { timeout: PAGE_MS });
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
      const seen = await page.evaluate(() => window.seen);
      for (let i = 1; i < seen.length; i++) assert.ok(seen[i][0] >= seen[i - 1][0], `went back: ${seen[i - 1][0]} -> ${seen[i][0]}`);
      assert.ok(seen.every(([, text]) => text === 'Cargando…'));
      assert.equal(await page.$eval('#progreso', (p) => p.hidden), true);
    } finally {
      await page.close();
    }
  });

  test('a files.json that is not a list: the "Error" box naming it, and an end', async () => {
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'yurn-web-'));
    const manifest = path.join(scratch, 'files.json');
    fs.writeFileSync(manifest, '{"Yurn.pak": 1');
    const broken = await serve(SITE, { '/files.json': manifest });
    const page = await openPage(chromium.browser, broken.url);
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 1);
      assert.equal(await page.$eval('#error', (e) => e.hidden), false);
      assert.match(await page.$eval('#error-texto', (e) => e.textContent), /"files\.json"/);
      assert.equal(await page.$eval('#inicio', (e) => e.hidden), true);
    } finally {
      await page.close();
      broken.close();
      fs.rmSync(scratch, { recursive: true, force: true });
    }
  });

  test('real time: the first photograph at the integer scale, the music, Escape', async () => {
    const page = await openPage(chromium.browser, site.url);
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
      assert.match(await page.$eval('#inicio', (e) => e.textContent), /clic/);
      await page.mouse.click(500, 380);  // the start gesture
      await page.waitForFunction(() => yurn.state === 'running' && yurn.startedAt !== undefined &&
                                        performance.now() - yurn.startedAt >= 3000, { timeout: PAGE_MS });
      // About 3 s in: the first photograph, still, until its cue at 5 s.
      const box = await page.$eval('#lienzo', (c) => {
        const r = c.getBoundingClientRect();
        return { x: r.x, y: r.y, width: r.width, height: r.height };
      });
      assert.equal(await page.evaluate(() => yurn.scale), 3);  // 1000 x 760 fits 960 x 720
      assert.equal(box.width, 960);
      assert.equal(box.height, 720);
      const shot = decodePng(Buffer.from(await page.screenshot({ type: 'png', clip: box })));
      const photo = decodePcx(fs.readFileSync(path.join(ROOT, 'datos/Foto1.pcx')));
      assert.equal(shot.width, 960);
      let wrong = 0;
      for (let y = 0; y < shot.height; y++) {
        for (let x = 0; x < shot.width; x++) {
          const s = 4 * (y * shot.width + x), p = 3 * (Math.floor(y / 3) * photo.width + Math.floor(x / 3));
          if (shot.rgba[s] !== photo.rgb[p] || shot.rgba[s + 1] !== photo.rgb[p + 1] ||
              shot.rgba[s + 2] !== photo.rgb[p + 2])
            wrong++;
        }
      }
      assert.equal(wrong, 0, `${wrong} pixels differ from datos/Foto1.pcx scaled 3x`);

      // F and a double click toggle full screen.
      await page.keyboard.press('f');
      await page.waitForFunction(() => document.fullscreenElement !== null, { timeout: PAGE_MS });
      await page.mouse.click(500, 380, { count: 2 });
      await page.waitForFunction(() => document.fullscreenElement === null, { timeout: PAGE_MS });

      // The music plays and its time advances.
      await page.waitForFunction(() => {
        const a = document.getElementById('yurn-musica');
        return a && !a.paused && a.currentTime > 0;
      }, { timeout: PAGE_MS });
      const t0 = await page.$eval('#yurn-musica', (a) => a.currentTime);
      await page.waitForFunction((t) => document.getElementById('yurn-musica').currentTime > t + 0.25,
                                 { timeout: PAGE_MS }, t0);

      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 0);
      assert.equal(await page.$eval('#codigo', (e) => e.textContent), '0');
      assert.equal(await page.$eval('#fin', (e) => e.hidden), false);

      // Play again: the show starts over, with its music from the start.
      await page.click('#otra-vez');
      await page.waitForFunction(() => yurn.state === 'running' && yurn.work.length > 10, { timeout: PAGE_MS });
      await page.waitForFunction(() => {
        const a = document.getElementById('yurn-musica');
        return a && !a.paused && a.currentTime > 0;
      }, { timeout: PAGE_MS });
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 0);
    } catch (e) {
      e.message += '\n' + page.consoleLines.join('\n');
      throw e;
    } finally {
      await page.close();
    }
  });

  // A hidden page waits for events instead of frames (the other way the
  // program suspends), and shows frames again once visible.
  test('real time: hidden, the show waits with its clock going; visible again, it goes on', async () => {
    const page = await openPage(chromium.browser, site.url + '?script=engine');
    try {
      await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => yurn.state === 'running' && yurn.work.length > 10, { timeout: PAGE_MS });
      const setHidden = (hidden) => page.evaluate((h) => {
        Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
        document.dispatchEvent(new Event('visibilitychange'));
      }, hidden);
      await setHidden(true);
      const frames = await page.evaluate(() => yurn.work.length);
      const since = await page.evaluate(() => performance.now());
      // Waiting for events, not frames: no frame for half a second of page time.
      await page.waitForFunction((t) => performance.now() - t > 500, { timeout: PAGE_MS, polling: 50 }, since);
      assert.ok(await page.evaluate(() => yurn.work.length) <= frames + 1);
      assert.equal(await page.evaluate(() => yurn.state), 'running');
      await setHidden(false);
      await page.waitForFunction((n) => yurn.work.length > n + 10, { timeout: PAGE_MS }, frames);
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 0);
      assert.equal(await page.evaluate(() => yurn.error), null);
    } catch (e) {
      e.message += '\n' + page.consoleLines.join('\n');
      throw e;
    } finally {
      await page.close();
    }
  });

  test('an archive without a photograph: the "Error" box with the reader\'s message', async () => {
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'yurn-web-'));
    try {
      const photos = fs.readdirSync(path.join(ROOT, 'datos')).filter((f) => f.endsWith('.pcx') && f !== 'Foto3.pcx')
        .map((f) => 'datos/' + f);
      const pak = path.join(scratch, 'Yurn.pak');
      execFileSync(path.join(NATIVE, 'yurn-pak'), ['create', pak, ...photos], { cwd: ROOT });
      // The same archive natively, in a folder without datos/: the message to expect.
      const native = spawnSync(path.join(NATIVE, 'yurn'), ['--headless'], { cwd: scratch });
      assert.equal(native.status, 1);
      const message = native.stderr.toString().split('\n')[0];
      assert.match(message, /Foto3/);

      const broken = await serve(SITE, { '/Yurn.pak': pak });
      const page = await openPage(chromium.browser, broken.url);
      try {
        await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
        await page.keyboard.press('Enter');
        await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
        assert.equal(await page.evaluate(() => yurn.code), 1);
        assert.equal(await page.$eval('#error', (e) => e.hidden), false);
        assert.equal(await page.$eval('#error-titulo', (e) => e.textContent), 'Error');
        assert.equal(await page.$eval('#error-texto', (e) => e.textContent), message);
        assert.ok(page.consoleLines.some((l) => l.includes(message)), 'the message is on the console');
      } finally {
        await page.close();
        broken.close();
      }
    } finally {
      fs.rmSync(scratch, { recursive: true, force: true });
    }
  });
});
