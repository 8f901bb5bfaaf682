// The Web Worker the program runs in, seen from the page: started, asked, and watched. Every
// request ends, with the worker's answer or with a failure that names its cause: an error in
// the worker, or a silence longer than SILENCE_LIMIT (a worker out of memory or crashed may
// end without a word, and a busy one reports its progress well within that time).
export const SILENCE_LIMIT = 10000;

const describe = (error) => (error && error.message ? (error.name ? error.name + ': ' : '') + error.message : String(error));

// Settles on the first answer that the predicate takes, or on an error or a silence; send()
// makes the request, once the worker is listened to.
function listen(worker, accept, onProgress, silence, send = () => {}) {
  return new Promise((resolve) => {
    let timer = 0;
    const settle = (answer) => {
      clearTimeout(timer);
      worker.onmessage = null;
      worker.onerror = null;
      resolve(answer);
    };
    const watch = () => {
      clearTimeout(timer);
      timer = setTimeout(() => settle({ failure: silence }), SILENCE_LIMIT);
    };
    worker.onmessage = ({ data }) => {
      if (!accept(data)) return;
      if (data.progress === undefined) settle(data);
      else {
        watch();
        onProgress(data.progress);
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      settle({ failure: event.message || 'the browser gave no reason' });
    };
    watch();
    try {
      send();
    } catch (error) {
      settle({ failure: describe(error) });
    }
  });
}

// A worker that has said it is ready, or the failure that kept it from starting: a constructor
// that throws (WebKit under a Content-Security-Policy without blob: workers), an error while
// its script loads (Chromium and Firefox in the same case), or no word at all.
export async function startWorker(url) {
  let worker;
  try {
    worker = new Worker(url);
  } catch (error) {
    return { failure: describe(error) };
  }
  const answer = await listen(worker, (data) => data.ready, () => {}, 'it did not start within ' + SILENCE_LIMIT / 1000 + ' s');
  if (!answer.failure) return { worker };
  worker.terminate();
  return answer;
}

let lastId = 0;

export function ask(worker, message, transfer = [], onProgress = () => {}) {
  const id = ++lastId;
  return listen(worker, (data) => data.id === id, onProgress, 'it stopped answering for ' + SILENCE_LIMIT / 1000 + ' s',
    () => worker.postMessage({ ...message, id }, transfer));
}
