// The page's tests in Chromium on the page's scripts as Stryker left them in this folder (its
// sandbox), with its active mutant switched on in the page and in the worker; the program is
// the wasm build's. Run by Stryker (web/stryker.conf.json), from the folder it copied web/ to.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { stage } = require(path.resolve('stage.js'));

let root = process.cwd();
while (!fs.existsSync(path.join(root, 'CMakePresets.json'))) root = path.dirname(root);
const mutant = process.env.__STRYKER_ACTIVE_MUTANT__;
const out = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-mutant-'));
stage({
  source: '.', programJs: path.join(root, 'build-wasm/vornix.js'), programWasm: path.join(root, 'build-wasm/vornix.wasm'),
  readme: path.join(root, 'README.md'), version: '0.0.0', out,
  prefix: mutant ? `globalThis.__stryker__ = { activeMutant: ${JSON.stringify(mutant)} };\n` : '',
});
const run = spawnSync(process.execPath, [path.resolve('test/page_test.js'), 'chromium', out, path.join(root, 'build')], { stdio: 'inherit' });
fs.rmSync(out, { recursive: true, force: true });
process.exit(run.status === null ? 1 : run.status);
