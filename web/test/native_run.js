// What the native vornix writes for an image: its standard output and every file, by name.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function nativeRun(nativeDir, imagePath) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-native-'));
  const started = process.hrtime.bigint();
  const run = spawnSync(path.resolve(nativeDir, 'vornix'), [path.resolve(imagePath)], { cwd: folder });
  const milliseconds = Number(process.hrtime.bigint() - started) / 1e6;
  const files = new Map();
  for (const name of fs.readdirSync(folder).sort()) {
    files.set(name, fs.readFileSync(path.join(folder, name)));
  }
  fs.rmSync(folder, { recursive: true });
  return { status: run.status, out: run.stdout.toString(), files, milliseconds };
}

// What a test lacks without the native build, in one line, or ''.
const nativeMissing = (nativeDir) => (['vornix', 'demo.d88'].every((name) => fs.existsSync(path.join(nativeDir || '', name))) ? '' :
  `needs the native build in ${nativeDir}: cmake --preset default && cmake --build build --target vornix demo_image`);

module.exports = { nativeRun, nativeMissing };
