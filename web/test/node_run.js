// The browser build run under Node on the demo image writes what the native build writes.
// Usage: node --no-experimental-fetch node_run.js VORNIX_JS NATIVE_BUILD_DIR
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { nativeRun, nativeMissing } = require('./native_run.js');

if (nativeMissing(process.argv[3])) {
  console.error('web.node_run ' + nativeMissing(process.argv[3]));
  process.exit(1);
}

(async () => {
  const [vornixJs, nativeDir] = process.argv.slice(2);
  const demo = path.join(nativeDir, 'demo.d88');
  const native = nativeRun(nativeDir, demo);
  assert.equal(native.status, 0);
  assert.equal(native.files.size, 8);

  const createVornix = require(path.resolve(vornixJs));
  const out = [];
  const err = [];
  const program = await createVornix({
    preRun: [(module) => module.FS.init(null,
      (byte) => { if (byte !== null) out.push(byte & 0xff); },
      (byte) => { if (byte !== null) err.push(byte & 0xff); })],
    print: () => {},
    printErr: () => {},
  });
  program.FS.mkdir('/out');
  program.FS.writeFile('/demo.d88', fs.readFileSync(demo));
  program.FS.chdir('/out');
  const status = program.callMain(['/demo.d88']);

  assert.equal(status, 0);
  assert.equal(Buffer.from(err).toString(), '');
  assert.equal(Buffer.from(out).toString(), native.out);
  const written = program.FS.readdir('/out').filter((name) => name !== '.' && name !== '..');
  assert.deepEqual(written.sort(), [...native.files.keys()]);
  for (const [name, bytes] of native.files) {
    assert.ok(Buffer.from(program.FS.readFile('/out/' + name)).equals(bytes), name);
  }
  console.log(`the browser build wrote the native build's ${native.files.size} files byte for byte`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
