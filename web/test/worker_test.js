// The worker's own parts under Node: which first bytes count as a D88 disk header (a table of
// headers built here from the format's layout), which blocks are zeros, and reads across the
// 1 MiB blocks of a copy whose pieces of zeros were left out; and the folder names the page
// gives images in a zip. Usage: node worker_test.js [SOURCE_DIR]
'use strict';
const assert = require('node:assert/strict');
const path = require('node:path');

(async () => {
globalThis.__stryker__ = { activeMutant: process.env.__STRYKER_ACTIVE_MUTANT__ };
const source = path.resolve(process.argv[2] || `${__dirname}/../src`);
const worker = { ...await import(`${source}/worker/disk_header.js`), ...await import(`${source}/worker/read.js`) };
const { folderFor } = await import(`${source}/page/names.js`);
const MiB = 1 << 20;
// A disk header: write protect at 26, media type at 27, disk size at 28, track offsets from 32.
const header = (edit) => {
  const bytes = Buffer.alloc(688);
  bytes.writeUInt32LE(0x55000, 28);
  [688, 5000, 0].forEach((offset, track) => bytes.writeUInt32LE(offset, 32 + 4 * track));
  edit(bytes);
  return new Uint8Array(bytes);
};
for (const [edit, recognised, what] of [[() => {}, true, '2D, writable'], [(b) => { b[26] = 0x10; b[27] = 0x40; }, true, 'protected 1DD'],
  [(b) => b.writeUInt32LE(672, 32), true, '160-track table'], [(b) => b.writeUInt32LE(0x55000, 36), true, 'track at the end'],
  [(b) => { b[26] = 1; }, false, 'protect flag 1'], [(b) => { b[27] = 0x50; }, false, 'media 0x50'], [(b) => { b[27] = 8; }, false, 'media 8'],
  [(b) => { b.writeUInt32LE(687, 28); b.fill(0, 32); }, false, 'size below a header'], [(b) => { b.writeUInt32LE(688, 28); b.fill(0, 32); }, true, 'a bare header'], [(b) => b.writeUInt32LE(671, 36), false, 'track inside the header'],
  [(b) => b.writeUInt32LE(0x55001, 40), false, 'track past the disk'], [(b) => b.writeUInt32LE(9, 668), false, 'entry 159'],
  [(b) => b.writeUInt32LE(9, 672), true, 'entry 160'], [(b) => b.writeUInt32LE(9, 676), true, 'entry 161, sector data where the table is short']]) {
  assert.equal(worker.hasDiskHeader(header(edit)), recognised, what);
}
assert.equal(worker.hasDiskHeader(header(() => {}).subarray(0, 687)), false, 'cut short');
const copy = { pieces: [new Uint8Array(MiB).fill(1).buffer, null, new Uint8Array(10).fill(3).buffer], size: 2 * MiB + 10 };
const read = (position, length) => {
  const buffer = new Uint8Array(length + 2).fill(9);
  return [worker.readCached(copy, buffer, 1, length, position), Array.from(buffer)];
};
assert.deepEqual(read(MiB - 2, 4), [4, [9, 1, 1, 0, 0, 9]]);
assert.deepEqual(read(2 * MiB + 8, 5), [2, [9, 3, 3, 9, 9, 9, 9]]);
assert.deepEqual(read(2 * MiB + 10, 3), [0, [9, 9, 9, 9, 9]]);
assert.deepEqual(Array.from(worker.head(copy)), Array(688).fill(1));
worker.clearCache();
assert.equal(worker.head({ pieces: [new ArrayBuffer(100)], size: 700 }), null, 'fewer bytes than the file had');
assert.equal(worker.readCached({ pieces: [new ArrayBuffer(100)], size: 700 }, new Uint8Array(700), 0, 700, 0), 100);
const zeros = new ArrayBuffer(MiB);
assert.deepEqual([zeros, zeros.slice(0, MiB - 4)].map(worker.isZeros), [true, false]);
for (const at of [0, MiB - 1]) {
  new Uint8Array(zeros)[at] = 1;
  assert.equal(worker.isZeros(zeros), false, `a byte at ${at}`);
}
// Each name against those before it: one path component, never . or .., unique whatever the case.
const names = [['a.d88', 'a'], ['A.img', 'A-2'], ['a', 'a-3'], ['...d88', 'image'], ['.', 'image-2'], ['', 'image-3'],
  ['a/b\\c:d.d88', 'a_b_c_d'], [' x. .d88', 'x'], ['\x01\x7f.d88', '__'], ['con.d88', '_con'], ['LPT1.x.d88', '_LPT1.x'], ['com10.d88', 'com10'],
  ['com0.d88', 'com0'], ['xcon.d88', 'xcon'], ['  y.d88', 'y']];
assert.deepEqual(names.map(([name], i) => folderFor(name, names.slice(0, i).map(([, f]) => f))), names.map(([, f]) => f));
console.log('web.worker: 1 passed, 0 failed');
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
