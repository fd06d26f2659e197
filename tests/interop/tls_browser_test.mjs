// Debian's chromium, headless, driven by playwright-core, against quorvin-serve over HTTPS. The
// browser trusts the test certificate's key alone (--ignore-certificate-errors-spki-list), so a
// page that loads proves the server presented that key; nothing else is waved through. The
// start page with its stylesheet and logo, the certificate the page was served with, a secure
// context, and the form posted to /echo.
// Usage: node tls_browser_test.mjs BASE-URL SPKI-SHA256 BINDING   (tls_browser_test.sh starts the server)
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { chromiumArgs, executablePath, makeChecks } from './chromium.mjs';

const [base, spki, binding] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'quorvin-chromium-'));
let context;
const checks = makeChecks();
const { check } = checks;

try {
  // A persistent profile: chromium honours the SPKI list only with a user data folder of its own.
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    args: [...chromiumArgs, `--ignore-certificate-errors-spki-list=${spki}`],
    viewport: { width: 1100, height: 900 },
  });
  const page = context.pages()[0] ?? (await context.newPage());
  page.setDefaultTimeout(15000);
  const answers = [];
  page.on('response', (r) => answers.push({ url: r.url(), status: r.status(), type: r.headers()['content-type'] }));
  const failures = [];
  page.on('requestfailed', (r) => failures.push(`${r.url()}: ${r.failure()?.errorText}`));

  // A certificate error would end the navigation (net::ERR_CERT_...), not load the page.
  const start = await page.goto(`${base}/`, { waitUntil: 'load' });
  check('start page status', () => assert.equal(start.status(), 200));
  const title = await page.title();
  check('title', () => assert.equal(title, 'Quorvin'));
  const tls = await start.securityDetails();
  check('certificate subject', () => assert.equal(tls?.subjectName, 'localhost'));
  check('certificate issuer', () => assert.equal(tls?.issuer, 'Quorvin Interop Test CA'));
  check('protocol', () => assert.equal(tls?.protocol, 'TLS 1.3'));
  const secure = await page.evaluate(() => [window.isSecureContext, location.protocol]);
  check('secure context', () => assert.deepEqual(secure, [true, 'https:']));
  const css = answers.find((a) => a.url === `${base}/style.css`);
  check('stylesheet loaded', () => assert.deepEqual([css?.status, css?.type], [200, 'text/css']));
  const logo = answers.find((a) => a.url === `${base}/logo.svg`);
  check('logo loaded', () => assert.deepEqual([logo?.status, logo?.type], [200, 'image/svg+xml']));
  const styled = await page.evaluate(() => ({
    button: getComputedStyle(document.querySelector('form.demo button')).backgroundColor,
    logoWidth: document.querySelector('header.site img').naturalWidth,
  }));
  check('button styled by style.css', () => assert.equal(styled.button, 'rgb(47, 95, 179)'));
  check('logo decoded', () => assert.ok(styled.logoWidth > 0, `naturalWidth ${styled.logoWidth}`));

  // The form, sent over the same secure origin: /echo shows what the browser posted.
  await page.fill('form.demo input[name="name"]', 'Grace Hopper');
  await page.fill('form.demo textarea[name="message"]', 'Sent over TLS & HTTP/1.1');
  const [echo] = await Promise.all([
    page.waitForResponse((r) => r.url() === `${base}/echo` && r.request().method() === 'POST'),
    page.waitForURL(`${base}/echo`),
    page.click('form.demo button[type="submit"]'),
  ]);
  check('echo status', () => assert.equal(echo.status(), 200));
  const text = await page.textContent('body');
  const lines = Object.fromEntries(text.split('\n').filter((l) => l.includes('=')).map((l) => {
    const at = l.indexOf('=');
    return [l.slice(0, at), l.slice(at + 1)];
  }));
  check('echo method', () => assert.equal(lines['0'], 'POST'));
  check('echo body', () => assert.equal(lines['25'], 'name=Grace+Hopper&message=Sent+over+TLS+%26+HTTP%2F1.1'));

  // The start page's event stream is cut off when the browser leaves the page.
  const failed = failures.filter((f) => !f.endsWith('/events: net::ERR_ABORTED'));
  check('no request failed', () => assert.deepEqual(failed, []));
  check('no error answers', () => assert.deepEqual(answers.filter((a) => a.status >= 400), []));
  console.log(`interop https browser (${binding}): ${checks.passed} passed, 0 failed`);
} finally {
  await context?.close();
  rmSync(profile, { recursive: true, force: true });
}
