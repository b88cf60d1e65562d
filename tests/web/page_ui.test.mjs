// The page as a user meets it (headless Chromium): which keys start the
// show, Escape silencing the music, the "Error" box in the page's terms
// with its retry button, the scale in device pixels, ?stats on the page,
// the favicon, the keys listed, and the music decoded before the click.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { decodePcx, decodePng, launch, missingTools, openPage, ROOT, serve, SITE } from './support.mjs';

const missing = missingTools();
const PAGE_MS = 60_000;
const WHOLE_SHOW_MS = 240_000;

describe('web page as a user meets it', { skip: missing ?? false }, () => {
  let site, chromium;
  before(async () => {
    site = await serve(SITE);
    chromium = await launch();
  });
  after(async () => {
    await chromium?.close();
    site?.close();
  });

  async function withPage(url, body, viewport) {
    const page = await openPage(chromium.browser, url, viewport);
    try {
      return await body(page);
    } catch (e) {
      e.message += '\n' + page.consoleLines.join('\n');
      throw e;
    } finally {
      await page.close();
    }
  }

  const ready = (page) => page.waitForFunction(() => window.yurn && window.yurn.state === 'ready', { timeout: PAGE_MS });
  const ended = (page) => page.waitForFunction(() => window.yurn && window.yurn.state === 'ended', { timeout: WHOLE_SHOW_MS });
  // Real time: the show has run for ms of the page's clock.
  const playedFor = (page, ms) => page.waitForFunction((t) => yurn.state === 'running' && yurn.startedAt !== undefined &&
                                                             performance.now() - yurn.startedAt >= t, { timeout: PAGE_MS }, ms);
  const panels = (page) => page.evaluate(() => ({
    end: !document.getElementById('fin').hidden,
    error: !document.getElementById('error').hidden,
    text: document.getElementById('error-texto').textContent,
    focus: document.activeElement && document.activeElement.id,
  }));

  test('only Enter, Space or a click start the show; Tab, Control and a letter do not', async () => {
    await withPage(site.url, async (page) => {
      await ready(page);
      for (const key of ['Tab', 'Control', 'a', 'Shift', 'ArrowDown']) {
        await page.keyboard.press(key);  // returns once the page has handled the key
        assert.equal(await page.evaluate(() => yurn.state), 'ready', `${key} started the show`);
      }
      await page.keyboard.press('Space');
      await page.waitForFunction(() => yurn.state === 'running', { timeout: PAGE_MS });
      await page.keyboard.press('Escape');
      await ended(page);
      assert.equal(await page.evaluate(() => yurn.code), 0);
    });
  });

  test('Escape stops the music with the show', async () => {
    await withPage(site.url, async (page) => {
      await ready(page);
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => yurn.audio && yurn.audio.music && yurn.audio.music.source &&
                                        yurn.audio.context.state === 'running', { timeout: PAGE_MS });
      const played = await page.evaluate(() => yurn.audio.context.currentTime);
      await page.waitForFunction((t) => yurn.audio.context.currentTime > t + 0.25, { timeout: PAGE_MS }, played);
      await page.keyboard.press('Escape');
      await ended(page);
      assert.equal(await page.evaluate(() => yurn.code), 0);
      // No source left playing the track.
      assert.deepEqual(await page.evaluate(() => ({ stopped: yurn.audio.music.stopped, source: yurn.audio.music.source })),
                       { stopped: true, source: null });
    });
  });

  test('the track is decoded before the click and starts with the first frame', async () => {
    await withPage(site.url + '?script=engine', async (page) => {
      await ready(page);
      // Decoded while loading: the whole track, before any gesture.
      assert.ok(await page.evaluate(() => yurn.audio && yurn.audio.buffer.duration > 40), 'no decoded track at the prompt');
      await page.mouse.click(500, 380);
      // From the first frame on, the music heard (the AudioContext's reading)
      // against the show time of the frame on the canvas: at most a frame
      // apart, plus the period the canvas holds a frame.
      const offsets = await page.evaluate(() => new Promise((resolve) => {
        const offsets = [];
        const take = () => {
          const { context, music } = yurn.audio;
          if (music && music.source && context.state === 'running' && yurn.player && yurn.work.length > 0) {
            const stamp = context.getOutputTimestamp();
            const heard = stamp.contextTime > 0 && stamp.performanceTime > 0
              ? stamp.contextTime + (performance.now() - stamp.performanceTime) / 1000 : context.currentTime;
            offsets.push((heard - music.when + music.offset) * 1000 - yurn.player.time);
          }
          if (yurn.state === 'running' && (!yurn.player || yurn.player.time < 1000)) requestAnimationFrame(take);
          else resolve(offsets);
        };
        requestAnimationFrame(take);
      }));
      assert.ok(offsets.length > 10, `${offsets.length} readings`);
      assert.ok(offsets.every((o) => o >= -17 && o <= 17 + 1000 / 60), offsets.map(Math.round).join(' '));
      await page.keyboard.press('Escape');
      await ended(page);
    });
  });

  test('a missing archive: its URL and status in the box, which replaces any other panel and focuses its button', async () => {
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'yurn-web-'));
    const archive = path.join(scratch, 'Yurn.pak');
    const broken = await serve(SITE, { '/Yurn.pak': archive });
    try {
      await withPage(broken.url, async (page) => {
        await ended(page);
        const shown = await panels(page);
        assert.equal(shown.error, true);
        assert.equal(shown.end, false);
        assert.match(shown.text, /"Yurn\.pak".*HTTP 404/);
        assert.doesNotMatch(shown.text, /Foto1/);
        assert.equal(shown.focus, 'reintentar');
        // The archive is there now: the button loads the page again, which gets ready.
        fs.copyFileSync(path.join(SITE, 'Yurn.pak'), archive);
        await Promise.all([page.waitForNavigation({ timeout: PAGE_MS }), page.keyboard.press('Enter')]);
        await ready(page);
        assert.equal(await page.evaluate(() => yurn.error), null);
      });
    } finally {
      broken.close();
      fs.rmSync(scratch, { recursive: true, force: true });
    }
  });

  test('a missing program: its URL and status, never the runtime\'s abort', async () => {
    const broken = await serve(SITE, { '/yurn.wasm': path.join(os.tmpdir(), 'yurn-no-such-file.wasm') });
    try {
      await withPage(broken.url, async (page) => {
        await ended(page);
        const shown = await panels(page);
        assert.equal(shown.error, true);
        assert.equal(shown.end, false);
        assert.match(shown.text, /"yurn\.wasm".*HTTP 404/);
        assert.doesNotMatch(shown.text, /abort|RuntimeError|failed/i);
      });
    } finally {
      broken.close();
    }
  });

  test('a bad query value is named in the page\'s terms; the retry button runs the show again', async () => {
    await withPage(site.url + '?virtual&fps=60&depth=7', async (page) => {
      await ended(page);
      const shown = await panels(page);
      assert.equal(await page.evaluate(() => yurn.code), 2);
      assert.equal(shown.error, true);
      assert.equal(shown.end, false);
      assert.equal(shown.focus, 'reintentar');
      assert.match(shown.text, /\?depth=/);
      assert.match(shown.text, /"7"/);
      assert.doesNotMatch(shown.text, /--depth|--help|yurn /);
      await page.evaluate(() => {
        window.started = 0;
        const create = window.createYurn;
        window.createYurn = (module) => { window.started++; return create(module); };
      });
      await page.keyboard.press('Enter');  // on the focused button
      await page.waitForFunction(() => window.started === 1 && yurn.state === 'ended', { timeout: PAGE_MS });
      assert.equal(await page.evaluate(() => yurn.code), 2);
    });
    await withPage(site.url + '?virtual&script=nada', async (page) => {
      await ended(page);
      const shown = await panels(page);
      assert.match(shown.text, /"nada"/);
      assert.match(shown.text, /show, engine/);
      assert.doesNotMatch(shown.text, /--/);
    });
  });

  // Each show pixel a whole number of device pixels, at ratios where the
  // CSS pixel scale made columns of alternating widths.
  for (const [ratio, scale] of [[1.5, 4], [1.25, 3]]) {
    test(`device pixel ratio ${ratio}: ${scale} x ${scale} device pixels per show pixel`, async () => {
      await withPage(site.url, async (page) => {
        await ready(page);
        await page.mouse.click(500, 380);
        await playedFor(page, 2500);
        assert.equal(await page.evaluate(() => yurn.scale), scale);
        const box = await page.$eval('#lienzo', (c) => {
          const r = c.getBoundingClientRect();
          return { x: r.x, y: r.y, width: r.width, height: r.height };
        });
        assert.equal(Math.round(box.width * ratio), 320 * scale);
        const shot = decodePng(Buffer.from(await page.screenshot({ type: 'png' })));
        const photo = decodePcx(fs.readFileSync(path.join(ROOT, 'datos/Foto1.pcx')));
        const left = Math.round(box.x * ratio), top = Math.round(box.y * ratio);
        let wrong = 0;
        for (let y = 0; y < 240 * scale; y++) {
          for (let x = 0; x < 320 * scale; x++) {
            const s = 4 * ((top + y) * shot.width + left + x), p = 3 * (Math.floor(y / scale) * 320 + Math.floor(x / scale));
            if (shot.rgba[s] !== photo.rgb[p] || shot.rgba[s + 1] !== photo.rgb[p + 1] || shot.rgba[s + 2] !== photo.rgb[p + 2])
              wrong++;
          }
        }
        assert.equal(wrong, 0, `${wrong} device pixels differ from datos/Foto1.pcx at ${scale}x`);
        await page.keyboard.press('Escape');
        await ended(page);
      }, { width: 1000, height: 760, deviceScaleFactor: ratio });
    });
  }

  test('a phone in landscape gets the scale that fits its device pixels', async () => {
    await withPage(site.url, async (page) => {
      await ready(page);
      assert.equal(await page.evaluate(() => yurn.scale), 4);  // 2220 x 1080 device pixels fit 1280 x 960
    }, { width: 740, height: 360, deviceScaleFactor: 3, isMobile: true, hasTouch: true, isLandscape: true });
  });

  test('?stats: the report in a panel on the page, not as console errors', async () => {
    await withPage(site.url + '?virtual&fps=60&script=engine&stats', async (page) => {
      await ended(page);
      const stderr = await page.evaluate(() => yurn.stderr);
      assert.ok(stderr.length > 0);
      const panel = await page.$eval('#estadisticas', (e) => ({ hidden: e.hidden, text: e.textContent }));
      assert.equal(panel.hidden, false);
      assert.ok(stderr.every((line) => panel.text.includes(line)), panel.text);
      assert.deepEqual(page.consoleLines.filter((l) => l.startsWith('error:')), []);
    });
  });

  test('a favicon of the page\'s own, and the keys listed', async () => {
    const requested = [];
    await withPage(site.url, async (page) => {
      page.on('request', (r) => requested.push(new URL(r.url()).pathname));
      await ready(page);
      const href = await page.$eval('link[rel="icon"]', (l) => l.href);
      const icon = decodePng(Buffer.from(href.replace(/^data:image\/png;base64,/, ''), 'base64'));
      assert.equal(icon.width, 16);
      assert.equal(icon.height, 16);
      const keys = await page.$eval('#teclas', (e) => ({ hidden: e.hidden, text: e.textContent }));
      assert.equal(keys.hidden, false);
      for (const key of ['Intro', 'Espacio', 'Esc', 'F', '?']) assert.ok(keys.text.includes(key), `${key}: ${keys.text}`);
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => yurn.state === 'running', { timeout: PAGE_MS });
      assert.equal(await page.$eval('#teclas', (e) => e.hidden), true);  // out of the show's way
      await page.keyboard.press('h');
      assert.equal(await page.$eval('#teclas', (e) => e.hidden), false);
      await page.keyboard.press('Escape');
      await ended(page);
    });
    assert.ok(!requested.includes('/favicon.ico'), requested.join(' '));
  });
});
