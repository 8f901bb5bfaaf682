// Stryker's command (web/stryker.conf.json): the worker's own checks, then the page's in
// Chromium, on the scripts in its sandbox with its active mutant switched on in
// the page and in the worker, and the wasm build's program.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

let root = process.cwd();
while (!fs.existsSync(path.join(root, 'CMakePresets.json'))) root = path.dirname(root);
const out = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'vornix-mutant-'));
const mutant = process.env.__STRYKER_ACTIVE_MUTANT__;
let failed = true;
try {
  require(path.resolve('stage.js')).stage({ source: '.', programJs: path.join(root, 'build-wasm/vornix.js'),
    programWasm: path.join(root, 'build-wasm/vornix.wasm'), version: '0.0.0', out,
    prefix: mutant ? `globalThis.__stryker__ = { activeMutant: ${JSON.stringify(mutant)} };\n` : '' });
  failed = [['test/worker_test.js'], ['test/page_test.js', 'chromium', out, path.join(root, 'build')]]
    .some((args) => spawnSync(process.execPath, args, { stdio: 'inherit' }).status !== 0);
} finally {
  fs.rmSync(out, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
