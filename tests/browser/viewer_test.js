// The viewer page in a real browser, inside the appliance: the system's Chromium, headless,
// driven through playwright-core, against the appliance's web server with real conversions.
//
//   node viewer_test.js PORT SCREENSHOT_DIR
//
// Needs NODE_PATH to hold playwright-core (run_browser_test.sh installs it) and the demo's
// document maker at $APPLIANCE_BUILD/demo/demo-documents. Prints one line per case and a
// closing "N passed, N failed"; exits 1 when a case failed.
'use strict';

const { chromium } = require('playwright-core');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const PORT = Number(process.argv[2] || 18590);
const SHOTS = process.argv[3] || '/var/log/browser';
const BASE = `http://127.0.0.1:${PORT}`;
const SERVE = path.join(process.env.APPLIANCE_REPO, 'harbor/appliance/serve');
const CONVERSION_MS = 240000;

// The network is closed: without these Chromium waits on connections that never come.
const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

function check(cond, what) {
  if (!cond) throw new Error(what);
}

function makeFixtures() {
  execFileSync(path.join(process.env.APPLIANCE_BUILD, 'demo/demo-documents'),
    ['/volume1/docs/report.docx'], { stdio: 'inherit' });
  // A type no converter takes: its task fails at once with a code the page must show.
  fs.writeFileSync('/volume1/docs/data.bin', 'not a document\n', { mode: 0o644 });
  // Alice's own file: in her home list, and nobody else's.
  fs.writeFileSync('/volume1/homes/alice/diary.bin', 'dear diary\n', { mode: 0o600 });
  fs.chownSync('/volume1/homes/alice/diary.bin', 1026, 100);
}

async function login(page, account, passwd) {
  await page.goto(BASE + '/');
  await page.locator('#login').waitFor({ state: 'visible' });
  await page.fill('#account', account);
  await page.fill('#passwd', passwd);
  await page.click('#login button[type=submit]');
}

function listed(page, root) {
  return page.locator(`#browser section[data-root="${root}"] li button`).allTextContents();
}

const cases = [
  ['a wrong password keeps the login form and says so', async (page) => {
    await login(page, 'alice', 'wrong');
    await page.locator('#login-error').filter({ hasText: 'Wrong account or password' }).waitFor();
    check(await page.locator('#browser').isHidden(), 'the document list is shown');
  }],

  ['each user lists the shared documents and only their own home', async (page) => {
    await login(page, 'bob', 'bob123');
    await page.getByRole('button', { name: 'report.docx' }).waitFor();
    const bobDocs = await listed(page, '/docs');
    check(bobDocs.includes('report.docx') && bobDocs.includes('data.bin'), 'docs: ' + bobDocs);
    check(!(await listed(page, '/home')).includes('diary.bin'), 'bob sees alice\'s home');
    await page.click('#logout');
    await login(page, 'alice', 'alice123');
    await page.getByRole('button', { name: 'diary.bin' }).waitFor();
  }],

  ['a document no converter takes shows the failure and its code', async (page) => {
    await login(page, 'alice', 'alice123');
    await page.getByRole('button', { name: 'data.bin' }).click();
    await page.locator('#status[data-state="failed"]').waitFor({ timeout: 60000 });
    const text = await page.locator('#status').textContent();
    check(/error 1003/.test(text), 'status: ' + text);
    check(await page.locator('#viewer').isHidden(), 'the viewer is shown');
  }],

  ['alice opens the docx: converting, then its PDF in the browser\'s viewer', async (page) => {
    await login(page, 'alice', 'alice123');
    const got = page.waitForResponse((r) => r.url().includes('method=get'),
      { timeout: CONVERSION_MS });
    got.catch(() => {});  // awaited only once the page says the PDF is ready
    await page.getByRole('button', { name: 'report.docx' }).click();
    const during = await page.locator('#status').getAttribute('data-state');
    check(during === 'converting' || during === 'ready', 'state after the click: ' + during);
    await page.locator('#status[data-state="ready"], #status[data-state="failed"]')
      .waitFor({ timeout: CONVERSION_MS });
    const state = await page.locator('#status').getAttribute('data-state');
    check(state === 'ready', await page.locator('#status').textContent());
    const response = await got;
    check(response.status() === 200, 'get answered ' + response.status());
    check(response.headers()['content-type'] === 'application/pdf',
      'get content type: ' + response.headers()['content-type']);
    await page.locator('#viewer').waitFor({ state: 'visible' });
    // The frame holds a PDF document, and the browser's PDF viewer has opened inside it.
    const deadline = Date.now() + 30000;
    let pdfFrame, viewerFrame;
    while (Date.now() < deadline && !(pdfFrame && viewerFrame)) {
      for (const f of page.frames()) {
        if (f.url().includes('method=get')) {
          const type = await f.evaluate(() => document.contentType).catch(() => '');
          if (type === 'application/pdf') pdfFrame = f;
        }
        if (f.url().startsWith('chrome-extension://')) viewerFrame = f;
      }
      if (!(pdfFrame && viewerFrame)) await page.waitForTimeout(250);
    }
    check(pdfFrame, 'no frame holds the PDF');
    check(viewerFrame, 'the browser\'s PDF viewer did not open');
    fs.mkdirSync(SHOTS, { recursive: true });
    await page.waitForTimeout(1000);  // let the viewer paint the first page
    await page.screenshot({ path: path.join(SHOTS, 'viewer-docx.png') });
  }],
];

async function main() {
  makeFixtures();
  execFileSync('/bin/bash', [SERVE, '--port', String(PORT), '--background'], { stdio: 'inherit' });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-'));
  let passed = 0, failed = 0;
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS,
    });
    for (const [name, run] of cases) {
      // A fresh page and no cookies: each case starts logged out.
      await context.clearCookies();
      const page = await context.newPage();
      page.setDefaultTimeout(30000);
      try {
        await run(page);
        console.log('ok   ' + name);
        ++passed;
      } catch (e) {
        console.log('FAIL ' + name + ': ' + e.message);
        await page.screenshot({ path: path.join(SHOTS, 'failed-' + (passed + failed) + '.png') })
          .catch(() => {});
        ++failed;
      } finally {
        await page.close();
      }
    }
  } finally {
    if (context) await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
    execFileSync('/bin/bash', [SERVE, '--port', String(PORT), '--stop'], { stdio: 'inherit' });
  }
  console.log(`${passed} passed, ${failed} failed`);
  return failed === 0 && passed === cases.length;
}

main().then((ok) => process.exit(ok ? 0 : 1), (e) => {
  console.error(e);
  process.exit(1);
});
