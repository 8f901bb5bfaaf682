// Size of the page and everything it loads, and the time from choosing the demo image to the
// list shown in headless chromium, against the native program's run on the same image,
// measured side by side in the same run.
// Usage: node bench/web_bench.js STAGED_PAGE_DIR NATIVE_BUILD_DIR [RUNS]
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { nativeRun } = require('../web/test/native_run.js');
const { openPage, runImage } = require('../web/test/browser.js');

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

(async () => {
  const [pageDir, nativeDir, runsArgument] = process.argv.slice(2);
  const runs = Number(runsArgument || 11);
  const demo = path.join(nativeDir, 'demo.d88');
  const bytes = fs.readdirSync(pageDir).reduce((sum, name) => sum + fs.statSync(path.join(pageDir, name)).size, 0);
  console.log(`page and everything it loads: ${bytes} bytes (${(bytes / 1000).toFixed(1)} kB; target 250 kB)`);

  const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-bench-'));
  const { browser, page } = await openPage(pageDir, downloads);
  const web = [];
  const native = [];
  try {
    for (let i = 0; i < runs; i++) {
      native.push(nativeRun(nativeDir, demo).milliseconds);
      await page.evaluate(() => performance.clearMarks());
      const rows = await runImage(page, demo);
      if (rows.length !== 8) throw new Error(`the page listed ${rows.length} files`);
      web.push(await page.evaluate(() => performance.measure('run', 'vornix-chosen', 'vornix-listed').duration));
      // The same file twice in a row is no change for the picker.
      await page.evaluate(() => { document.getElementById('image').value = ''; });
    }
  } finally {
    await browser.close();
  }
  const w = median(web);
  const n = median(native);
  console.log(`demo.d88, median of ${runs}: choosing to list shown ${w.toFixed(1)} ms in the page ` +
    `(target 1000 ms), native run ${n.toFixed(1)} ms (process start included); ratio ${(w / n).toFixed(2)}`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
