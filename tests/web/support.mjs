// What the browser tests share: finding the tools, a static server for the
// built site, Chromium through puppeteer-core, and small PNG / PCX readers.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import zlib from 'node:zlib';

export const ROOT = path.resolve(import.meta.dirname ?? path.dirname(new URL(import.meta.url).pathname), '../..');
export const SITE = process.env.YURN_SITE ?? path.join(ROOT, 'build-web/site');
export const NATIVE = process.env.YURN_NATIVE_BUILD ?? path.join(ROOT, 'build');
export const CHROMIUM = process.env.CHROMIUM ?? '/usr/bin/chromium';
// The npm packages live in a build folder, not beside these files:
// scripts/setup.sh test installs them into build/web-node/.
export const WEB_NODE = process.env.YURN_WEB_NODE ?? path.join(ROOT, 'build/web-node');

// puppeteer-core's entry file, resolved from WEB_NODE (throws when it is not there).
function puppeteerEntry() {
  return createRequire(path.join(WEB_NODE, 'package.json')).resolve('puppeteer-core');
}

// Why the browser tests cannot run here, or null when they can.
export function missingTools() {
  if (!fs.existsSync(CHROMIUM)) return `no hay Chromium en ${CHROMIUM}`;
  if (!fs.existsSync(path.join(SITE, 'yurn.wasm'))) return `la página no está construida en ${SITE} (scripts/web.sh --build-only)`;
  for (const tool of ['yurn', 'yurn-pak', 'yurn-frame-digests'])
    if (!fs.existsSync(path.join(NATIVE, tool))) return `falta ${path.join(NATIVE, tool)}`;
  try {
    puppeteerEntry();
  } catch (e) {
    return `falta puppeteer-core en ${WEB_NODE} (scripts/setup.sh test)`;
  }
  return null;
}

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.wasm': 'application/wasm',
                '.json': 'application/json', '.mp3': 'audio/mpeg' };

// Serves folder on a free loopback port; overrides maps a URL path to a file
// served instead.  Range requests are honoured (media elements use them).
export async function serve(folder, overrides = {}) {
  const server = http.createServer((request, response) => {
    const url = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    const file = overrides[url] ?? path.join(folder, url.endsWith('/') ? url + 'index.html' : url);
    if (!file.startsWith(folder) && !Object.values(overrides).includes(file) || !fs.existsSync(file) ||
        fs.statSync(file).isDirectory()) {
      response.writeHead(404);
      response.end();
      return;
    }
    const size = fs.statSync(file).size;
    const headers = { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream',
                      'Accept-Ranges': 'bytes', 'Cache-Control': 'no-store' };
    const range = /^bytes=(\d*)-(\d*)$/.exec(request.headers.range ?? '');
    if (range && size > 0) {
      const start = range[1] ? Number(range[1]) : 0;
      const end = range[2] ? Math.min(Number(range[2]), size - 1) : size - 1;
      response.writeHead(206, { ...headers, 'Content-Range': `bytes ${start}-${end}/${size}`,
                                'Content-Length': end - start + 1 });
      fs.createReadStream(file, { start, end }).pipe(response);
      return;
    }
    response.writeHead(200, { ...headers, 'Content-Length': size });
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`, close: () => server.close() };
}

export async function launch(extra = []) {
  const loaded = await import(pathToFileURL(puppeteerEntry()).href);
  const puppeteer = loaded.default?.launch ? loaded.default : loaded.default.default;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'yurn-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', ...extra],
  });
  return {
    browser,
    close: async () => {
      await browser.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// The page's console, kept for messages on failure.
export async function openPage(browser, url, viewport = { width: 1000, height: 760 }) {
  const page = await browser.newPage();
  const console_lines = [];
  page.on('console', (m) => console_lines.push(m.type() + ': ' + m.text()));
  page.on('pageerror', (e) => console_lines.push('pageerror: ' + e.message));
  await page.setViewport(viewport);
  await page.goto(url);
  page.consoleLines = console_lines;
  return page;
}

// The native side: the per-frame digests and the exit code of a headless run.
export function nativeDigests(args) {
  const out = execFileSync(path.join(NATIVE, 'yurn-frame-digests'), args, { cwd: ROOT, maxBuffer: 1 << 26 })
    .toString().trim().split('\n');
  const code = Number(out.pop().replace('exit ', ''));
  return { digests: out, code };
}

// PNG (8-bit RGB or RGBA, not interlaced) to { width, height, rgba }.
export function decodePng(buffer) {
  let offset = 8;
  let width = 0, height = 0, channels = 0;
  const data = [];
  while (offset < buffer.length) {
    const length = buffer.readUInt32BE(offset);
    const type = buffer.toString('ascii', offset + 4, offset + 8);
    const body = buffer.subarray(offset + 8, offset + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      if (body[8] !== 8 || body[12] !== 0) throw new Error('PNG no admitido');
      channels = { 2: 3, 6: 4 }[body[9]];
      if (!channels) throw new Error('PNG no admitido');
    } else if (type === 'IDAT') {
      data.push(body);
    }
    offset += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(data));
  const stride = width * channels;
  const pixels = Buffer.alloc(height * stride);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let x = 0; x < stride; x++) {
      const a = x >= channels ? pixels[y * stride + x - channels] : 0;
      const b = y > 0 ? pixels[(y - 1) * stride + x] : 0;
      const c = x >= channels && y > 0 ? pixels[(y - 1) * stride + x - channels] : 0;
      let v = line[x];
      if (filter === 1) v += a;
      else if (filter === 2) v += b;
      else if (filter === 3) v += (a + b) >> 1;
      else if (filter === 4) {
        const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
        v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      pixels[y * stride + x] = v & 255;
    }
  }
  const rgba = Buffer.alloc(width * height * 4);
  for (let i = 0; i < width * height; i++) {
    rgba[4 * i] = pixels[channels * i];
    rgba[4 * i + 1] = pixels[channels * i + 1];
    rgba[4 * i + 2] = pixels[channels * i + 2];
    rgba[4 * i + 3] = channels === 4 ? pixels[channels * i + 3] : 255;
  }
  return { width, height, rgba };
}

// A three-plane, 8-bit PCX picture (run-length or raw) to { width, height, rgb }.
export function decodePcx(buffer) {
  const width = buffer.readUInt16LE(8) - buffer.readUInt16LE(4) + 1;
  const height = buffer.readUInt16LE(10) - buffer.readUInt16LE(6) + 1;
  const planes = buffer[65];
  const bytesPerLine = buffer.readUInt16LE(66);
  const encoded = buffer[2] === 1;
  if (buffer[3] !== 8 || planes !== 3) throw new Error('PCX no admitido');
  const rgb = Buffer.alloc(width * height * 3);
  let at = 128;
  const line = Buffer.alloc(planes * bytesPerLine);
  for (let y = 0; y < height; y++) {
    let filled = 0;
    while (filled < line.length) {
      let value = buffer[at++], count = 1;
      if (encoded && (value & 0xC0) === 0xC0) {
        count = value & 0x3F;
        value = buffer[at++];
      }
      for (let k = 0; k < count && filled < line.length; k++) line[filled++] = value;
    }
    for (let x = 0; x < width; x++)
      for (let c = 0; c < 3; c++) rgb[3 * (y * width + x) + c] = line[c * bytesPerLine + x];
  }
  return { width, height, rgb };
}
