// The page's WebAssembly SIMD kernels against plain models of the frame
// conversion, the blend and the fades, at the plain and the 128-bit level in
// one process (yurn-kernel-check, built by scripts/web.sh beside the page).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { ROOT } from './support.mjs';

const CHECK = path.join(process.env.YURN_WEB_BUILD ?? path.join(ROOT, 'build-web'), 'yurn-kernel-check.js');

test('WebAssembly SIMD kernels equal the plain ones at every level', { skip: fs.existsSync(CHECK) ? false : `no hay ${CHECK}` }, () => {
  const run = spawnSync(process.execPath, [CHECK], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.match(run.stdout, /comparisons at the plain and the simd128 level, 0 differ/);
});
