// Debian's chromium, headless, driven by playwright-core, against quorvin-serve with compressed
// siblings, listings and uploads on: the page whose script and style come from gzip copies
// renders with them, every link of a listing of awkward names opens the file it names, and a file
// picked in a listing's upload form is stored there, the browser sent back to the listing.
// Usage: node static_browser_test.mjs BASE-URL BINDING   (static_browser_test.sh starts the server)
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';
import { chromiumArgs, executablePath, makeChecks } from './chromium.mjs';

const [base, binding] = process.argv.slice(2);
let browser;
const checks = makeChecks();
const { check } = checks;

try {
  browser = await chromium.launch({
    executablePath,
    headless: true,
    args: chromiumArgs,
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(15000);
  const encodings = {};
  page.on('response', async (r) => { encodings[new URL(r.url()).pathname] = (await r.allHeaders())['content-encoding']; });

  await page.goto(`${base}/app/`, { waitUntil: 'load' });
  const text = await page.textContent('#out');
  check('script from the gzip copy ran', () => assert.equal(text, 'ran from gzip'));
  const color = await page.evaluate(() => getComputedStyle(document.body).color);
  check('style from the gzip copy applied', () => assert.equal(color, 'rgb(4, 5, 6)'));
  check('script sent as gzip', () => assert.equal(encodings['/app/app.js'], 'gzip'));

  // The listing: follow each link and compare what opens with the name shown.
  await page.goto(`${base}/files/`, { waitUntil: 'load' });
  const links = await page.$$eval('td a', (as) => as.map((a) => ({ text: a.textContent, href: a.href })));
  const names = links.map((l) => l.text);
  check('listing names', () => assert.deepEqual(names, ['../', 'sub folder/', '100%.txt', '<tag>&.txt', 'a b.txt',
    'grüße.txt', 'hash#1.txt', 'what?.txt']));
  check('no dot-name listed', () => assert.ok(!names.includes('.hidden')));
  for (const { text: name, href } of links) {
    if (name.endsWith('/')) continue;
    const answer = await page.goto(href, { waitUntil: 'load' });
    check(`${name}: status`, () => assert.equal(answer.status(), 200));
    // text/plain without a charset renders as Latin-1: the bytes are compared, fetched again.
    const body = (await (await page.request.get(href)).body()).toString('utf8');
    check(`${name}: content`, () => assert.equal(body, `content of ${name}`));
  }
  await page.goto(`${base}/files/`, { waitUntil: 'load' });
  await page.click('text=sub folder/');
  await page.waitForURL(`${base}/files/sub%20folder/`);
  await page.click('text=inner.txt');
  const inner = await page.textContent('body');
  check('a file in a folder with a blank', () => assert.equal(inner, 'content of sub folder/inner.txt'));

  // The upload form at the end of the listing (static_browser_test.sh compares the stored bytes).
  await page.goBack({ waitUntil: 'load' });
  await page.setInputFiles('input[type=file]',
    { name: 'picked.txt', mimeType: 'text/plain', buffer: Buffer.from('picked\0in chromium\n') });
  const [posted] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST'),
    page.click('button[type=submit]'),
  ]);
  check('the form: 303 back to the folder', () => assert.equal(posted.status(), 303));
  await page.waitForSelector('td a >> text=picked.txt');
  check('the form: the listing again', () => assert.equal(page.url(), `${base}/files/sub%20folder/`));
  console.log(`chromium (${binding}): ${checks.passed} checks passed`);
} finally {
  await browser?.close();
}
