// The player in the page (headless Chromium): its keys and controls move
// the show as the window's do, a seek lands on the headless capture's frame,
// a screenshot is that frame as a PNG download without what is drawn over
// the canvas, and the music heard stays within a frame of the picture.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { decodePcx, decodePng, launch, missingTools, NATIVE, openPage, ROOT, serve, SITE } from './support.mjs';

const missing = missingTools();
const PAGE_MS = 60_000;
const FRAME_MS = 1000 / 60;

// A binary PPM (P6, 8 bits) to { width, height, rgb }.
function decodePpm(buffer) {
  const header = /^P6\s+(\d+)\s+(\d+)\s+255\s/.exec(buffer.toString('latin1', 0, 64));
  if (!header) throw new Error('PPM no admitido');
  const width = Number(header[1]), height = Number(header[2]);
  return { width, height, rgb: buffer.subarray(header[0].length, header[0].length + width * height * 3) };
}

// Waits for a condition polled every 50 ms, up to ms.
async function until(condition, ms, what) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`no llegó: ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

describe('web page: the player', { skip: missing ?? false }, () => {
  let site, chromium, scratch;
  before(async () => {
    site = await serve(SITE);
    chromium = await launch();
    scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'yurn-web-player-'));
  });
  after(async () => {
    await chromium?.close();
    site?.close();
    if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
  });

  async function withPage(query, body) {
    const page = await openPage(chromium.browser, site.url + query);
    try {
      return await body(page);
    } catch (e) {
      e.message += '\n' + page.consoleLines.join('\n');
      throw e;
    } finally {
      await page.close();
    }
  }
  const running = (page) => page.waitForFunction(() => yurn.state === 'running' && yurn.player && yurn.player.length > 0,
                                                 { timeout: PAGE_MS });
  const state = (page) => page.evaluate(() => ({ ...yurn.player }));
  // The player has taken what was sent: its state says so.
  const settled = (page, test, arg) => page.waitForFunction(test, { timeout: PAGE_MS }, arg);
  async function start(page) {
    await page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
    await page.keyboard.press('Enter');
    await running(page);
  }

  test('keys: Space pauses and resumes with the music, the arrows seek, , and . step, Home, L, M', async () => {
    await withPage('?script=engine', async (page) => {
      await start(page);
      await page.keyboard.press('Space');
      await settled(page, () => yurn.player.paused);
      await page.waitForFunction(() => !yurn.audio.music.source, { timeout: PAGE_MS });  // the music holds
      const held = await state(page);
      await page.keyboard.press('ArrowRight');
      await settled(page, (f) => yurn.player.frame === f + 300, held.frame);  // 5 s at 60 frames a second
      await page.keyboard.down('Shift');
      await page.keyboard.press('ArrowLeft');
      await page.keyboard.up('Shift');
      await settled(page, (f) => yurn.player.frame === f + 240, held.frame);
      await page.keyboard.press(',');
      await settled(page, (f) => yurn.player.frame === f + 239, held.frame);
      await page.keyboard.press('.');
      await settled(page, (f) => yurn.player.frame === f + 240, held.frame);
      await page.keyboard.press('.');
      await settled(page, (f) => yurn.player.frame === f + 241, held.frame);
      assert.equal((await state(page)).paused, true);
      await page.keyboard.press('Home');
      await settled(page, () => yurn.player.frame === 0);
      await page.keyboard.press('l');
      await page.keyboard.press('m');
      await settled(page, () => yurn.player.looping && yurn.player.muted);
      assert.equal(await page.evaluate(() => yurn.audio.music.mute.gain.value), 0);
      await page.keyboard.press('Space');
      await settled(page, () => !yurn.player.paused && yurn.player.frame > 30);
      await page.waitForFunction(() => yurn.audio.music.source, { timeout: PAGE_MS });  // the music goes on
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 0);
    });
  });

  test('the pause button and the seek bar under the canvas', async () => {
    await withPage('', async (page) => {
      await start(page);
      const bar = await page.$eval('#mandos', (e) => ({ hidden: e.hidden, top: e.getBoundingClientRect().top }));
      const canvas = await page.$eval('#lienzo', (c) => c.getBoundingClientRect().bottom);
      assert.equal(bar.hidden, false);
      assert.ok(bar.top >= canvas - 1, `controls at ${bar.top}, canvas ends at ${canvas}`);
      await page.click('#pausa');
      await settled(page, () => yurn.player.paused);
      await page.waitForFunction(() => document.getElementById('pausa').textContent === 'Seguir', { timeout: PAGE_MS });
      await page.$eval('#barra', (bar) => { bar.value = '20000'; bar.dispatchEvent(new Event('change')); });
      await settled(page, () => yurn.player.frame === 1200);
      assert.equal(await page.evaluate(() => yurn.state), 'running');  // the bar did not start or end anything
      await page.waitForFunction(() => /^20\.0 \/ 50\.0 s$/.test(document.getElementById('tiempo').textContent),
                                 { timeout: PAGE_MS });
      await page.click('#pausa');
      await settled(page, () => !yurn.player.paused);
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
    });
  });

  test('?t= and ?paused: S downloads the capture\'s frame at that time, without the time drawn over the canvas', async () => {
    const downloads = fs.mkdtempSync(path.join(scratch, 'downloads-'));
    const at = 7.25, frame = 435;  // 7.25 s at 60 frames a second
    // The native capture of the engine show, cut once the frame is written
    // (frame-NNNNNN.ppm is complete once the next one exists).
    const capture = path.join(scratch, 'capture');
    const native = spawn(path.join(NATIVE, 'yurn'), ['--script', 'engine', '--capture', capture, '--format', 'ppm'],
                         { cwd: ROOT, stdio: 'ignore' });
    const ppm = (n) => path.join(capture, `frame-${String(n).padStart(6, '0')}.ppm`);
    try {
      await until(() => fs.existsSync(ppm(frame + 1)), 120_000, ppm(frame + 1));
    } finally {
      native.kill();
    }
    const expected = decodePpm(fs.readFileSync(ppm(frame)));

    await withPage(`?script=engine&t=${at}&paused`, async (page) => {
      const cdp = await page.target().createCDPSession();
      await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
      await start(page);
      assert.deepEqual(await page.evaluate(() => [yurn.player.paused, yurn.player.frame]), [true, frame]);
      await page.keyboard.press('s');
      await until(() => fs.readdirSync(downloads).some((f) => /^yurn-engine-7250\.png$/.test(f)), PAGE_MS,
                  'the download');
      const shot = decodePng(fs.readFileSync(path.join(downloads, 'yurn-engine-7250.png')));
      assert.equal(shot.width, 320);
      let wrong = 0;
      for (let i = 0; i < 320 * 240; i++)
        for (let c = 0; c < 3; c++) wrong += shot.rgba[4 * i + c] !== expected.rgb[3 * i + c];
      assert.equal(wrong, 0, `${wrong} values differ from the capture's frame ${frame}`);
      // The canvas has the time bar over it (paused); the download has not.
      const canvas = Buffer.from(await page.$eval('#lienzo', (c) =>
        Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data)));
      assert.ok(!canvas.equals(Buffer.from(shot.rgba)), 'the canvas shows the overlay');
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
    });
  });

  test('the photograph show from ?t=3: Foto1 downloaded pixel for pixel', async () => {
    const downloads = fs.mkdtempSync(path.join(scratch, 'downloads-'));
    await withPage('?t=3&paused', async (page) => {
      const cdp = await page.target().createCDPSession();
      await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
      await start(page);
      await page.click('#lienzo');  // a click on the show is no gesture now: nothing changes
      await page.keyboard.press('S');
      await until(() => fs.readdirSync(downloads).includes('yurn-show-3000.png'), PAGE_MS, 'the download');
      const shot = decodePng(fs.readFileSync(path.join(downloads, 'yurn-show-3000.png')));
      const photo = decodePcx(fs.readFileSync(path.join(ROOT, 'datos/Foto1.pcx')));
      let wrong = 0;
      for (let i = 0; i < 320 * 240; i++)
        for (let c = 0; c < 3; c++) wrong += shot.rgba[4 * i + c] !== photo.rgb[3 * i + c];
      assert.equal(wrong, 0);
    });
  });

  test('the music heard stays within a frame of the picture, from the first second, after a pause, a seek and a hidden spell', async () => {
    await withPage('?script=engine&stats', async (page) => {
      await start(page);
      await page.waitForFunction(() => yurn.audio.context.state === 'running' && yurn.audio.music.source,
                                 { timeout: PAGE_MS });
      // The AudioContext's reading of the sample going out now, against the
      // show time of the frame on the canvas now (as the player reports it
      // at each animation frame) and that frame's period.
      const sample = (ms) => page.evaluate((span, period) => new Promise((resolve) => {
        const { context, music } = yurn.audio;
        const offsets = [];
        const begin = performance.now();
        const take = () => {
          const stamp = context.getOutputTimestamp();
          const heard = stamp.contextTime > 0 && stamp.performanceTime > 0
            ? stamp.contextTime + (performance.now() - stamp.performanceTime) / 1000 : context.currentTime;
          if (music.source && !yurn.player.paused)
            offsets.push((heard - music.when + music.offset) * 1000 - yurn.player.time);
          if (performance.now() - begin < span) requestAnimationFrame(take);
          else resolve(offsets);
        };
        requestAnimationFrame(take);
      }), ms, FRAME_MS);
      const afterSecond = async () => {
        const t = await page.evaluate(() => performance.now());
        await page.waitForFunction((s) => performance.now() - s > 1000, { timeout: PAGE_MS }, t);
      };
      const check = (offsets, when) => {
        assert.ok(offsets.length > 20, when);
        // The canvas holds a frame for a period: the music heard is up to
        // a period past its time.
        const off = offsets.filter((o) => o < -17 || o > 17 + FRAME_MS);
        assert.deepEqual(off.map(Math.round), [], `${when}: ${offsets.map(Math.round).join(' ')}`);
      };
      await afterSecond();
      check(await sample(1500), 'from the first second');
      await page.keyboard.press('Space');
      await page.waitForFunction(() => yurn.player.paused, { timeout: PAGE_MS });
      await page.keyboard.press('Space');
      await afterSecond();
      check(await sample(1000), 'after a pause');
      await page.keyboard.press('ArrowRight');
      await afterSecond();
      check(await sample(1000), 'after a seek');
      const setHidden = (hidden) => page.evaluate((h) => {
        Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
        document.dispatchEvent(new Event('visibilitychange'));
      }, hidden);
      await setHidden(true);
      const since = await page.evaluate(() => performance.now());
      await page.waitForFunction((t) => performance.now() - t > 700, { timeout: PAGE_MS, polling: 50 }, since);
      await setHidden(false);
      await afterSecond();
      check(await sample(1000), 'after a hidden spell');
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => yurn.state === 'ended', { timeout: PAGE_MS });
      // The player's own measure, as each frame goes to the screen, in the ?stats panel.
      const report = await page.$eval('#estadisticas', (e) => e.textContent);
      // The player's own measure: 99 % of the frames within a frame; the
      // largest within 250 ms, past which the player would move the music
      // (a shared machine holds the page back now and then, which is no drift).
      const measured = /Desfase entre música e imagen: media ([-+]?[\d.]+) ms, el 99 % dentro de ([\d.]+) ms, máximo ([\d.]+) ms en (\d+) medidas/.exec(report);
      assert.ok(measured, report);
      console.log(measured[0]);
      assert.ok(Number(measured[2]) <= 17 && Number(measured[3]) <= 250 && Number(measured[4]) > 100, measured[0]);
    });
  });
});
