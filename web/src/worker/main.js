// The Web Worker that runs vornix for the page, and builds its zips. The page makes it from a
// Blob of the program's own script (createVornix) followed by this one, so that it works from
// file:// too. Each request carries an id that its answer repeats; while a request takes long,
// the worker sends that id with how far it got, at most every quarter second, so that the page
// can tell a busy worker from a dead one.
import { isZeros } from './read.js';
import { run } from './run.js';
import { zipFiles } from './zip.js';

const BEAT_INTERVAL = 250;
// The image copied by the page in pieces, where the worker may not read the File itself.
let copied = [];

onmessage = async ({ data }) => {
  let last = 0;
  const beat = (progress) => {
    if (performance.now() - last < BEAT_INTERVAL) return;
    last = performance.now();
    postMessage({ id: data.id, progress });
  };
  try {
    if (data.piece) {
      if (data.first) copied = [];
      copied.push(isZeros(data.piece) ? null : data.piece);
      postMessage({ id: data.id });
    } else if (data.zip) {
      postMessage({ id: data.id, zip: zipFiles(data.zip) });
    } else {
      const image = data.copied ? { pieces: copied, size: data.size } : data.image;
      const answer = await run({ ...data, image }, beat);
      copied = [];
      postMessage({ id: data.id, ...answer });
    }
  } catch (error) {
    postMessage({ id: data.id, failure: String(error && error.message ? error.message : error) });
  }
};
postMessage({ ready: true });
