// How the page puts counts, sizes and lists of names into words: counts with the separators of
// the language the browser says its user reads, or its own default where that is no language
// (WebKitGTK under the C locale says "C").
const numbers = (() => {
  try {
    return new Intl.NumberFormat(navigator.languages);
  } catch (error) {
    return new Intl.NumberFormat();
  }
})();
export const count = (number) => numbers.format(number);
export const plural = (number, one) => count(number) + ' ' + one + (number === 1 ? '' : 's');
export const byteCount = (number) => plural(number, 'byte');
export const seconds = (from) => ((performance.now() - from) / 1000).toFixed(1) + ' s';

// A few names of a list, and how many more there are.
const NAMES_SHOWN = 3;
export function someNames(names) {
  const shown = names.slice(0, NAMES_SHOWN).join(', ');
  return names.length > NAMES_SHOWN ? shown + ' and ' + plural(names.length - NAMES_SHOWN, 'more') : shown;
}
