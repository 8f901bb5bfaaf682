// The one line the live region announces once a run ends: how many chunk files, and what
// went wrong with which image.
import { plural, someNames } from './words.js';

export function summary(results, shown) {
  const files = plural(shown.length, 'chunk file');
  const single = results.length === 1;
  const head = single ? results[0].name + ': ' + files : plural(results.length, 'image') + ': ' + files;
  const names = (which) => results.filter(which).map((result) => result.name);
  const parts = [];
  const reported = names((result) => result.status !== 0 && !result.failed);
  if (reported.length > 0) {
    parts.push('vornix reported a problem' + (single ? '' : ' with ' + someNames(reported)) + ', shown under Messages');
  }
  const failed = names((result) => result.failed);
  if (failed.length > 0) parts.push('vornix could not finish' + (single ? '' : ' on ' + someNames(failed)) + ', see the notes');
  const foreign = names((result) => !result.recognised && !result.failed);
  if (foreign.length > 0) {
    parts.push((single ? 'it is' : someNames(foreign) + (foreign.length === 1 ? ' is' : ' are')) +
      ' probably not a D88 image, see the notes');
  }
  return head + (parts.length > 0 ? '; ' + parts.join('; ') : '') + '.';
}
