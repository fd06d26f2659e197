// Debian's chromium, headless, driven by playwright-core, against quorvin-serve on the bundled
// site: the start page with its title and stylesheet, a link into docs/, the form posted to
// /echo, a form with a file posted to /form, and a screenshot of the start page kept as a test
// artifact.
// Usage: node browser_test.mjs BASE-URL ARTIFACT-DIR BINDING   (browser_test.sh starts the server)
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { chromiumArgs, executablePath, makeChecks } from './chromium.mjs';

const [base, artifacts, binding] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'quorvin-chromium-'));
let context;
const checks = makeChecks();
const { check } = checks;

try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    args: chromiumArgs,
    viewport: { width: 1100, height: 900 },
  });
  const page = context.pages()[0] ?? (await context.newPage());
  page.setDefaultTimeout(15000);
  // Every answer the page loads is recorded: a stylesheet or image that fails shows here.
  const answers = [];
  page.on('response', (r) => answers.push({ url: r.url(), status: r.status(), type: r.headers()['content-type'] }));
  const failures = [];
  page.on('requestfailed', (r) => failures.push(`${r.url()}: ${r.failure()?.errorText}`));

  // The start page, styled by its stylesheet.
  const start = await page.goto(`${base}/`, { waitUntil: 'load' });
  check('start page status', () => assert.equal(start.status(), 200));
  const title = await page.title();
  check('title', () => assert.equal(title, 'Quorvin'));
  const css = answers.find((a) => a.url === `${base}/style.css`);
  check('stylesheet loaded', () => assert.deepEqual([css?.status, css?.type], [200, 'text/css']));
  const logo = answers.find((a) => a.url === `${base}/logo.svg`);
  check('logo loaded', () => assert.deepEqual([logo?.status, logo?.type], [200, 'image/svg+xml']));
  const styled = await page.evaluate(() => {
    const style = (sel) => getComputedStyle(document.querySelector(sel));
    return {
      button: style('form.demo button').backgroundColor,
      main: style('main').maxWidth,
      hero: style('section.hero').backgroundImage,
      sheets: document.styleSheets.length,
      logoWidth: document.querySelector('header.site img').naturalWidth,
    };
  });
  check('stylesheets in the page', () => assert.equal(styled.sheets, 1));
  check('button styled by style.css', () => assert.equal(styled.button, 'rgb(47, 95, 179)'));
  check('main column width from style.css', () => assert.equal(styled.main, '832px'));
  check('hero band gradient from style.css', () => assert.match(styled.hero, /^linear-gradient/));
  check('logo decoded', () => assert.ok(styled.logoWidth > 0, `naturalWidth ${styled.logoWidth}`));
  // The page's EventSource shows the ticks of /events as they come.
  await page.waitForFunction(() => /^tick \d+ at /.test(document.getElementById('tick').textContent), null,
    { timeout: 5000 }).then(() => check('event stream ticks in the page', () => {}),
    (e) => check('event stream ticks in the page', () => assert.fail(String(e))));
  mkdirSync(artifacts, { recursive: true });
  const shot = join(artifacts, `site-${binding}.png`);
  await page.screenshot({ path: shot, fullPage: true });

  // A link into docs/: the folder's default document, styled by the same sheet.
  await Promise.all([page.waitForURL(`${base}/docs/`), page.click('header.site nav a[href="docs/"]')]);
  const docsTitle = await page.title();
  check('docs title', () => assert.equal(docsTitle, 'Quorvin documentation'));
  const docsHeading = await page.textContent('main h1');
  check('docs heading', () => assert.equal(docsHeading, 'Documentation'));
  const docsHeader = await page.evaluate(() => getComputedStyle(document.querySelector('header.site')).backgroundColor);
  check('docs page styled by ../style.css', () => assert.equal(docsHeader, 'rgb(244, 246, 250)'));
  // And on to a page of docs/ through a link inside the page.
  await Promise.all([page.waitForURL(`${base}/docs/serving.htm`), page.click('main ul.cards a[href="serving.htm"]')]);
  const servingTitle = await page.title();
  check('serving page title', () => assert.equal(servingTitle, 'How files are served - Quorvin'));

  // The form on the start page, filled in and sent: /echo shows what the browser posted.
  await page.goto(`${base}/`);
  await page.fill('form.demo input[name="name"]', 'Grace Hopper');
  await page.fill('form.demo textarea[name="message"]', 'Sent from chromium & playwright');
  const [echo] = await Promise.all([
    page.waitForResponse((r) => r.url() === `${base}/echo` && r.request().method() === 'POST'),
    page.waitForURL(`${base}/echo`),
    page.click('form.demo button[type="submit"]'),
  ]);
  check('echo status', () => assert.equal(echo.status(), 200));
  check('echo address', () => assert.equal(page.url(), `${base}/echo`));
  const text = await page.textContent('body');
  const lines = Object.fromEntries(text.split('\n').filter((l) => l.includes('=')).map((l) => {
    const at = l.indexOf('=');
    return [l.slice(0, at), l.slice(at + 1)];
  }));
  check('echo method', () => assert.equal(lines['0'], 'POST'));
  check('echo content type', () => assert.equal(lines['15'], 'application/x-www-form-urlencoded'));
  check('echo body', () => assert.equal(lines['25'], 'name=Grace+Hopper&message=Sent+from+chromium+%26+playwright'));

  // A form with a file input, sent to /form: the browser's own multipart body, read back by the
  // server's form reader. The file holds NUL, CR LF and dashes; the browser escapes the quotes
  // of its name as %22.
  await page.goto(`${base}/`);
  await page.evaluate(() => document.body.insertAdjacentHTML('beforeend',
    '<form id="upload" method="post" action="/form" enctype="multipart/form-data">' +
    '<input name="title"><input type="file" name="upload"><button>Send</button></form>'));
  await page.fill('#upload input[name="title"]', 'Grace & "Hopper"');
  await page.setInputFiles('#upload input[type="file"]',
    { name: 'notes "1".bin', mimeType: 'application/octet-stream', buffer: Buffer.from([0, 13, 10, 45, 45, 255, 0]) });
  const [uploaded] = await Promise.all([
    page.waitForResponse((r) => r.url() === `${base}/form` && r.request().method() === 'POST'),
    page.waitForURL(`${base}/form`),
    page.click('#upload button'),
  ]);
  check('form status', () => assert.equal(uploaded.status(), 200));
  const formText = await page.textContent('body');
  check('form fields and file', () => assert.equal(formText,
    'title=Grace & "Hopper"\nupload: notes %221%22.bin, application/octet-stream, 7 bytes\n'));

  // The start page's event stream is cut off each time the browser leaves the page: that abort
  // is the browser's, not a failure.
  const failed = failures.filter((f) => !f.endsWith('/events: net::ERR_ABORTED'));
  check('no request failed', () => assert.deepEqual(failed, []));
  const bad = answers.filter((a) => a.status >= 400);
  check('no error answers', () => assert.deepEqual(bad, []));
  console.log(`screenshot: ${shot}`);
  console.log(`interop browser (${binding}): ${checks.passed} passed, 0 failed`);
} finally {
  await context?.close();
  rmSync(profile, { recursive: true, force: true });
}
