// What the chromium tests share: Debian's chromium, headless, with nothing of its own running in
// the background, and named checks that count what passed.
export const executablePath = '/usr/bin/chromium';
export const chromiumArgs = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];

// check(what, fn) runs one assertion and names it in the failure; checks.passed counts them.
export function makeChecks() {
  const checks = {
    passed: 0,
    check(what, fn) {
      try {
        fn();
      } catch (e) {
        e.message = `${what}: ${e.message}`;
        throw e;
      }
      checks.passed++;
    },
  };
  return checks;
}
