// Walks the demo's sign-on journey in headless Chromium: the protected
// application sends the browser to the development login page, the form
// brings it back with a session cookie, the page shows the user and the
// attributes, a reload keeps the session, a page for another group is
// refused with 403, sign-out ends it (a script then gets a 401 that names the
// login page), and a token made with another password lands on the error page.
//
// node journey.mjs --source DIR --build DIR --modules DIR --out DIR
//
// Starts the demo set-up on a free port of 127.0.0.1 with demo/run.sh and
// stops it by the PID in its PidFile. Screenshots of a failure (and of the
// signed-in page) are kept in --out.
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const CHROMIUM = process.env.QV_CHROMIUM || '/usr/bin/chromium';
// Without the background-networking flags Chromium reaches for outside
// services, and this machine's closed network refuses them.
const CHROMIUM_FLAGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const COOKIE = 'QVSESSION';
const OVERALL_TIMEOUT_MS = 240_000;

function options(argv) {
  const result = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || i + 1 >= argv.length) throw new Error(`bad argument ${argv[i]}`);
    result[argv[i].slice(2)] = path.resolve(argv[i + 1]);
  }
  for (const name of ['source', 'build', 'modules', 'out'])
    if (!result[name]) throw new Error(`--${name} is required`);
  return result;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function check(condition, message) {
  if (!condition) throw new Error(message);
}

const opts = options(process.argv.slice(2));
const { chromium } = createRequire(path.join(opts.modules, 'node_modules', 'noop.js'))('playwright-core');
fs.mkdirSync(opts.out, { recursive: true });

const runScript = path.join(opts.source, 'demo', 'run.sh');
let port = await freePort();
let base = `http://127.0.0.1:${port}`;
let root = path.join(opts.out, `server-${port}`);
const demo = (action) =>
  spawnSync('sh', [runScript, action, '--build', opts.build, '--port', String(port), '--root', root], {
    encoding: 'utf8',
    timeout: 60_000,
  });

// Another program may take the free port before Apache binds it: try anew.
async function startDemo() {
  for (let attempt = 1; ; attempt++) {
    removeRoot();
    const started = demo('start');
    if (started.status === 0) return;
    const output = `${started.stdout}${started.stderr}`;
    if (attempt < 3 && /Address already in use|could not bind/.test(output)) {
      port = await freePort();
      base = `http://127.0.0.1:${port}`;
      root = path.join(opts.out, `server-${port}`);
      continue;
    }
    throw new Error(`the demo did not start:\n${output}`);
  }
}

let context;
let page;
let step = 'starting the demo set-up';
let stopped = false;

function stopDemo() {
  if (stopped) return;
  stopped = true;
  const result = demo('stop');
  if (result.status !== 0) process.stderr.write(`stopping the demo failed:\n${result.stdout}${result.stderr}`);
}

// CTest ends a test that overruns; stop the server before that happens.
const watchdog = setTimeout(async () => {
  process.stderr.write(`journey: gave up after ${OVERALL_TIMEOUT_MS / 1000} s at "${step}"\n`);
  stopDemo();
  process.exit(1);
}, OVERALL_TIMEOUT_MS);
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP'])
  process.on(signal, () => {
    stopDemo();
    process.exit(1);
  });

async function sessionCookie() {
  const cookies = await context.cookies(base);
  return cookies.find((cookie) => cookie.name === COOKIE);
}

async function attributes() {
  const rows = await page.$$eval('#attributes tr', (trs) =>
    trs.map((tr) => Array.from(tr.querySelectorAll('td'), (td) => td.textContent)));
  return Object.fromEntries(rows.filter((cells) => cells.length === 2));
}

async function expectLoginPage(what) {
  const url = new URL(page.url());
  check(url.origin === base && url.pathname === '/login',
    `${what}: expected the login page, the browser is at ${page.url()}`);
  check(url.searchParams.get('TargetResource') === `${base}/app/`,
    `${what}: TargetResource is ${url.searchParams.get('TargetResource')}`);
  check((await page.textContent('#banner')).includes('Development aid'),
    `${what}: the login page does not say that it is a development aid`);
}

// A token the agent cannot decode: the same kind of token, minted with a
// password of another set-up.
function foreignToken() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'qv-foreign-'));
  try {
    const agentFile = path.join(folder, 'agent.conf');
    fs.writeFileSync(agentFile, 'password = YW5vdGhlci1zZXQtdXAncy1wYXNzd29yZA==\ncipher-suite = 1\n');
    const result = spawnSync(path.join(opts.build, 'tools', 'nubrel'),
      ['mint', '--agent-config', agentFile, '--subject', 'mallory'], { encoding: 'utf8' });
    check(result.status === 0, `nubrel mint failed: ${result.stderr}`);
    return result.stdout.trim();
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

const user = 'jdoe';
const attributesIn = { displayName: 'Jo Doe <dev>', mail: 'jdoe@example.test', groups: 'staff, developers' };
let passed = 0;
let failed = 0;
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qv-chromium-'));

try {
  await startDemo();

  step = 'launching Chromium';
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_FLAGS,
  });
  page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(20_000);

  step = 'opening /app/ without a session';
  await page.goto(`${base}/app/`);
  await expectLoginPage(step);
  check(!(await sessionCookie()), `${step}: a session cookie is already set`);
  passed++;

  step = 'signing in on the development login page';
  await page.fill('#user', user);
  await page.fill('#displayName', attributesIn.displayName);
  await page.fill('#mail', attributesIn.mail);
  await page.fill('#groups', attributesIn.groups);
  await Promise.all([page.waitForURL(`${base}/app/`), page.click('#sign-in')]);
  // The agent moved the token from the address into the cookie.
  check(!page.url().includes(COOKIE), `${step}: the token stayed in the address ${page.url()}`);
  const cookie = await sessionCookie();
  check(cookie && cookie.value.length > 0 && cookie.path === '/', `${step}: no session cookie for path /`);
  // Page scripts cannot read it, and other sites' requests do not carry it.
  check(cookie.httpOnly === true && cookie.sameSite === 'Lax',
    `${step}: the cookie is httpOnly=${cookie.httpOnly} sameSite=${cookie.sameSite}`);
  check(!(await page.evaluate(() => document.cookie)).includes(COOKIE), `${step}: a page script sees the token`);
  passed++;

  step = 'reading the application page';
  check((await page.textContent('#user')) === user, `${step}: the page names ${await page.textContent('#user')}`);
  let seen = await attributes();
  const expected = {
    REMOTE_USER: user,
    QV_AUTH_SUBJECT: user,
    QV_AUTH_DISPLAYNAME: attributesIn.displayName,
    QV_AUTH_MAIL: attributesIn.mail,
    // Repeated attribute lines reach the application joined.
    QV_AUTH_GROUP: 'staff, developers',
  };
  for (const [name, value] of Object.entries(expected))
    check(seen[name] === value, `${step}: ${name} is ${JSON.stringify(seen[name])}, expected ${JSON.stringify(value)}`);
  check(seen.QV_AUTH_NOT_ON_OR_AFTER && seen.QV_AUTH_RENEW_UNTIL, `${step}: the session times are not shown`);
  await page.screenshot({ path: path.join(opts.out, 'signed-in.png'), fullPage: true });
  passed++;

  step = 'reloading the application page';
  const response = await page.reload();
  check(response.status() === 200 && page.url() === `${base}/app/`,
    `${step}: status ${response.status()} at ${page.url()}`);
  seen = await attributes();
  check(seen.QV_AUTH_SUBJECT === user, `${step}: the session is gone after a reload`);
  check(await sessionCookie(), `${step}: the session cookie is gone`);
  passed++;

  step = 'opening a page for a group the user is not in';
  const [forbidden] = await Promise.all([page.waitForResponse(`${base}/app/admin/`), page.click('#admin')]);
  await page.waitForLoadState();
  check(forbidden.status() === 403, `${step}: status ${forbidden.status()}`);
  check(await page.isVisible('#forbidden'), `${step}: the refusal page is not shown`);
  check(await sessionCookie(), `${step}: the refusal ended the session`);
  await page.screenshot({ path: path.join(opts.out, 'forbidden.png'), fullPage: true });
  await page.goto(`${base}/app/`);
  passed++;

  step = 'opening the agent start page';
  await Promise.all([page.waitForURL(`${base}/app/start-page`), page.click('#start-page')]);
  const startPage = await page.textContent('body');
  check(startPage.includes('Quorvel Vantor Start Page'), `${step}: not the start page`);
  const rows = await page.$$eval('td.headerName', (cells) =>
    cells.map((cell) => [cell.textContent, cell.nextElementSibling?.textContent]));
  check(rows.some(([name, value]) => name === 'QV_AUTH_SUBJECT' && value === user),
    `${step}: the QV_AUTH_SUBJECT request header is not listed`);
  await page.goto(`${base}/app/`);
  passed++;

  step = 'signing out';
  await Promise.all([page.waitForURL(`${base}/logout`), page.click('#logout')]);
  check(await page.isVisible('#signed-out'), `${step}: the sign-out page is not shown`);
  check(!(await sessionCookie()), `${step}: the session cookie survived the sign-out`);
  passed++;

  step = 'calling the application from a script after signing out';
  const answer = await page.evaluate(async () => {
    const response = await fetch('/app/');
    return { status: response.status, body: await response.json().catch(() => null) };
  });
  check(answer.status === 401, `${step}: status ${answer.status}`);
  const login = answer.body && new URL(answer.body.login);
  check(login && login.origin === base && login.pathname === '/login' &&
    login.searchParams.get('TargetResource') === `${base}/app/`,
    `${step}: the answer names ${JSON.stringify(answer.body)}`);
  passed++;

  step = 'opening /app/ after signing out';
  await page.goto(`${base}/app/`);
  await expectLoginPage(step);
  passed++;

  step = 'arriving with a token of another set-up';
  await context.addCookies([{ name: COOKIE, value: foreignToken(), url: base }]);
  await page.goto(`${base}/app/`);
  check(page.url() === `${base}/error`, `${step}: expected the error page, the browser is at ${page.url()}`);
  check(await page.isVisible('#sign-on-error'), `${step}: the error page is not shown`);
  check(!(await sessionCookie()), `${step}: the refused cookie was not removed`);
  passed++;

  step = 'asking the login page to send a token elsewhere';
  const refused = await page.goto(`${base}/login?TargetResource=${encodeURIComponent('http://elsewhere.test/app/')}`);
  check(refused.status() === 400, `${step}: status ${refused.status()}`);
  check(!(await page.isVisible('form')) || (await page.inputValue('input[name=TargetResource]')) === `${base}/app/`,
    `${step}: the form still carries the foreign target`);
  passed++;
} catch (error) {
  failed++;
  process.stderr.write(`journey: FAILED while ${step}: ${error.message}\n`);
  if (page) {
    const shot = path.join(opts.out, `failure-${step.replace(/[^a-z0-9]+/gi, '-')}.png`);
    await page.screenshot({ path: shot, fullPage: true }).catch(() => {});
    process.stderr.write(`journey: screenshot ${shot} (page ${page.url()})\n`);
  }
  const log = path.join(root, 'logs', 'error.log');
  if (fs.existsSync(log)) {
    fs.copyFileSync(log, path.join(opts.out, 'error.log'));
    process.stderr.write(`journey: Apache's error log kept as ${path.join(opts.out, 'error.log')}\n`);
  }
} finally {
  if (context) await context.close().catch(() => {});
  stopDemo();
  clearTimeout(watchdog);
  fs.rmSync(profile, { recursive: true, force: true });
}

// The server root may be a link to a folder in /tmp (see demo/run.sh).
function removeRoot() {
  try {
    if (fs.lstatSync(root).isSymbolicLink()) fs.rmSync(fs.realpathSync(root), { recursive: true, force: true });
  } catch {}
  fs.rmSync(root, { recursive: true, force: true });
}
if (failed === 0) removeRoot();
console.log(`journey: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
