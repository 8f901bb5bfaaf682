// The page's size with everything it loads, and in each engine the time from choosing an image
// to its list shown, the longest the page's own thread was kept busy meanwhile, and the
// browser's memory, against the native program's run on the same image in the same run.
// Usage: node bench/web_bench.js STAGED_PAGE_DIR NATIVE_BUILD_DIR [RUNS] [ENGINES]
// (ENGINES: comma-separated, default chromium,firefox,webkit; the images come from the native
// build's bench/make_bench_images.)
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { nativeRun } = require('../web/test/native_run.js');
const { launch, missing } = require('../web/test/drivers.js');

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// The resident memory of a process and all its descendants, in bytes.
function treeMemory(pid) {
  const children = new Map();
  const rss = new Map();
  for (const entry of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8').split(') ')[1].split(' ');
      children.set(stat[1], [...(children.get(stat[1]) || []), entry]);
      rss.set(entry, Number(stat[21]) * 4096);
    } catch (error) {
      // Gone meanwhile.
    }
  }
  const sum = (id) => (rss.get(id) || 0) + (children.get(id) || []).reduce((total, child) => total + sum(child), 0);
  return sum(String(pid));
}

async function measure(engine, pageDir, images, runs, work) {
  const page = await launch(engine, work);
  try {
    await page.open('file://' + path.resolve(pageDir, 'index.html'));
    await page.evaluate(() => {
      let last = performance.now();
      window.longestGap = 0;
      const tick = () => {
        const now = performance.now();
        window.longestGap = Math.max(window.longestGap, now - last);
        last = now;
        setTimeout(tick, 0);
      };
      tick();
      // Chromium also reports each task over 50 ms on the page's thread.
      window.longestTask = 0;
      if (PerformanceObserver.supportedEntryTypes.includes('longtask')) {
        new PerformanceObserver((list) => {
          for (const entry of list.getEntries()) window.longestTask = Math.max(window.longestTask, entry.duration);
        }).observe({ type: 'longtask' });
      }
    });
    const lines = [];
    for (const [name, image, times] of images) {
      const native = nativeRun(process.argv[3], image);
      const took = [];
      let gap = 0;
      let peak = 0;
      const before = treeMemory(page.pid);
      for (let i = 0; i < times; i++) {
        await page.evaluate(() => { performance.clearMarks(); window.longestGap = 0; window.longestTask = 0; });
        await page.choose([image]);
        for (;;) {
          peak = Math.max(peak, treeMemory(page.pid) - before);
          if (await page.evaluate(() => document.getElementById('run').hidden && document.getElementById('status').textContent !== '')) break;
          await new Promise((resolve) => setTimeout(resolve, 20));
        }
        const [listed, count, longest] = await page.evaluate(() => [
          performance.measure('run', 'vornix-chosen', 'vornix-listed').duration,
          document.querySelectorAll('#files tbody tr').length, Math.max(window.longestGap, window.longestTask)]);
        if (count !== native.files.size) throw new Error(`${engine}, ${name}: ${count} files listed, ${native.files.size} natively`);
        took.push(listed);
        gap = Math.max(gap, longest);
      }
      lines.push(`${engine}, ${name}: listed in ${median(took).toFixed(1)} ms (median of ${times}; native run ${native.milliseconds.toFixed(1)} ms), ` +
        `${native.files.size} files as natively, page thread busy at most ${gap.toFixed(0)} ms at a time, browser memory up to ${(peak / 2 ** 20).toFixed(0)} MiB over its idle`);
    }
    return lines;
  } finally {
    await page.close();
  }
}

(async () => {
  const [pageDir, nativeDir, runsArgument, enginesArgument] = process.argv.slice(2);
  const runs = Number(runsArgument || 11);
  const loaded = ['index.html', 'style.css', 'app.js', 'vornix.js'];
  const bytes = loaded.reduce((sum, name) => sum + fs.statSync(path.join(pageDir, name)).size, 0);
  console.log(`page and everything it loads: ${bytes} bytes (${(bytes / 1000).toFixed(1)} kB; target 250 kB), ` +
    `vornix.js ${fs.statSync(path.join(pageDir, 'vornix.js')).size}`);
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-bench-'));
  try {
    const maker = path.join(nativeDir, 'bench/make_bench_images');
    if (spawnSync(maker, [work]).status !== 0) throw new Error(`needs ${maker}: cmake --build build --target make_bench_images`);
    for (const size of [1e9, 2.3e9]) {
      const sparse = path.join(work, `sparse-${size / 1e9}GB.d88`);
      fs.copyFileSync(path.join(nativeDir, 'demo.d88'), sparse);
      fs.truncateSync(sparse, size);
    }
    const images = [['demo.d88', path.join(nativeDir, 'demo.d88'), runs], ['big.d88 (64 disks)', path.join(work, 'big.d88'), 3],
      ['worst.d88 (710 files)', path.join(work, 'worst.d88'), 3], ['demo + zeros to 1 GB', path.join(work, 'sparse-1GB.d88'), 1],
      ['demo + zeros to 2.3 GB', path.join(work, 'sparse-2.3GB.d88'), 1]];
    for (const engine of (enginesArgument || 'chromium,firefox,webkit').split(',')) {
      if (missing(engine)) {
        console.log(`${engine}: skipped, ${missing(engine)}`);
        continue;
      }
      for (const line of await measure(engine, pageDir, images, runs, work)) console.log(line);
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
