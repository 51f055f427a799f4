// The demo visualisation in a real browser: zel-router with a registry whose BootDir is the
// repository's demo/ folder, VelmoraServer stand-alone against it, and headless Chromium on
// the page. Checks the page's session and address texts, one exchange through the page's own
// controls with the runtime's echo, then what the page says when the runtime and the server
// stop answering. Everything started here is stopped on the way out, also on failure.
//
// node demo-page.test.mjs --server PATH --router PATH --demo DIR --screenshot FILE
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';

const PORT = 42341;
const URL = `http://127.0.0.1:${PORT}/`;
const CHROMIUM = '/usr/bin/chromium';
const WAIT_MS = 15000;

const { values: opt } = parseArgs({
  options: {
    server: { type: 'string' },
    router: { type: 'string' },
    demo: { type: 'string' },
    screenshot: { type: 'string' },
  },
});
for (const name of ['server', 'router', 'demo', 'screenshot']) {
  if (!opt[name]) throw new Error(`--${name} is required`);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.error('playwright-core is not installed: run scripts/bootstrap test (npm ci in tests/browser)');
  process.exit(1);
}
if (!fs.existsSync(CHROMIUM)) {
  console.error(`${CHROMIUM} is missing: run scripts/bootstrap test (apt-get install chromium)`);
  process.exit(1);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, ms = WAIT_MS) {
  const end = Date.now() + ms;
  for (;;) {
    if (await check()) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

function portAnswers() {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port: PORT });
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// A child process that is stopped with SIGTERM, then SIGKILL if it lingers.
class Child {
  constructor(name, file, args, env) {
    this.name = name;
    this.output = '';
    this.proc = spawn(file, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    this.exited = new Promise((resolve) => this.proc.once('exit', (code, sig) => resolve(code ?? sig)));
    this.proc.once('error', (err) => { this.output += String(err); });
    for (const stream of [this.proc.stdout, this.proc.stderr]) {
      stream.on('data', (d) => { this.output += d; });
    }
  }
  running() { return this.proc.exitCode === null && this.proc.signalCode === null; }
  async stop() {
    if (!this.running()) return this.exited;
    this.proc.kill('SIGTERM');
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    const status = await this.exited;
    clearTimeout(timer);
    return status;
  }
}

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-browser-'));
const socket = path.join(tmp, 'zel-router.sock');
const routerLog = path.join(tmp, 'zel.log');
const children = [];
let context;

async function cleanUp() {
  if (context) await context.close().catch(() => {});
  for (const c of children.reverse()) await c.stop();
  fs.rmSync(tmp, { recursive: true, force: true });
}

// The whole run is bounded, whatever hangs.
const guard = setTimeout(async () => {
  console.error('browser test: overall time limit reached');
  await cleanUp();
  process.exit(1);
}, 120000);

try {
  assert.equal(await portAnswers(), false, `port ${PORT} is already in use`);

  const bootDir = path.resolve(opt.demo) + '/';
  fs.writeFileSync(path.join(tmp, 'registry.ini'), [
    '[Software\\Mervold\\Orvane3]',
    'CurrentVersion=3.1',
    '',
    '[Software\\Mervold\\Orvane3\\3.1]',
    `InstallDir=${tmp}/`,
    `BootDir=${bootDir}`,
    '',
  ].join('\n'));

  const router = new Child('zel-router', opt.router,
    ['--socket', socket, '--registry', path.join(tmp, 'registry.ini'), '--log', routerLog]);
  children.push(router);
  await until('the router socket', () => fs.existsSync(socket) || !router.running());
  assert.ok(router.running(), `zel-router ended: ${router.output}`);

  const server = new Child('VelmoraServer', opt.server, ['-t'], { ZEL_ROUTER_SOCKET: socket });
  children.push(server);
  await until(`port ${PORT}`, async () => !server.running() || await portAnswers());
  assert.ok(server.running(), `VelmoraServer ended: ${server.output}`);

  const profile = path.join(tmp, 'chromium-profile');
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-quic'],
    viewport: { width: 1000, height: 820 },
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(WAIT_MS);

  // Every static file the page needs, with its content type; nothing from elsewhere.
  const types = {};
  const foreign = [];
  page.on('request', (r) => { if (!r.url().startsWith(URL)) foreign.push(r.url()); });
  page.on('response', (r) => { types[new globalThis.URL(r.url()).pathname] = r.headers()['content-type']; });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));

  await page.goto(URL);
  await page.waitForFunction(() => document.body.innerText.includes('|50000|0|1|false|')
                                   && document.body.innerText.includes('IPv4:::1|'));
  assert.match(await page.textContent('#link-status'), /Connected/);
  assert.equal(await page.textContent('#session-id'), '1');
  assert.equal(await page.evaluate(() => document.getElementById('logo').naturalWidth > 0), true);
  assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('header')).display), 'flex');
  assert.deepEqual(
    { html: types['/'], js: types['/app.js'], css: types['/style.css'], svg: types['/logo.svg'] },
    { html: 'text/html', js: 'application/javascript', css: 'text/css', svg: 'image/svg+xml' });

  // One exchange through the page's controls: the echo runtime answers the payload back.
  const payload = 'Pumpe 3 läuft ✓';
  await page.fill('#payload', payload);
  await page.click('#send');
  await page.waitForFunction(() => document.getElementById('count').textContent === '1'
                                   && document.getElementById('answer').textContent !== '…');
  assert.equal(await page.textContent('#answer'), payload);
  assert.match(await page.textContent('#rtt'), /^\d+\.\d ms$/);
  assert.match(await page.textContent('#exchange-status'), /answered/);
  // The runtime got exactly the payload's bytes, after the four-byte command word.
  const hex = Buffer.from(payload, 'utf8').toString('hex');
  assert.match(fs.readFileSync(routerLog, 'utf8'),
    new RegExp(`target=\\S+:851 group=42 offset=42 read=50000 write=${hex.length / 2} data=${hex} status=0`));

  await page.screenshot({ path: opt.screenshot, fullPage: true });

  // The runtime gone: the exchange gets the empty reply, and the page says so.
  assert.equal(await router.stop(), 0);
  await page.click('#send');
  await page.waitForFunction(() => document.getElementById('count-unanswered').textContent === '1');
  assert.match(await page.textContent('#exchange-status'), /PLC runtime did not answer/);
  assert.equal(await page.textContent('#count'), '2');

  // The server gone: the page says the server does not answer.
  assert.equal(await server.stop(), 0);
  await page.click('#send');
  await page.waitForFunction(() => document.getElementById('count-unanswered').textContent === '2');
  assert.match(await page.textContent('#exchange-status'), /server does not answer/);
  assert.match(await page.textContent('#link-status'), /Not connected/);

  assert.deepEqual(foreign, []);
  assert.deepEqual(pageErrors, []);
  console.log(`browser test passed; screenshot ${opt.screenshot}`);
  clearTimeout(guard);
  await cleanUp();
} catch (err) {
  clearTimeout(guard);
  console.error('browser test failed:', err);
  for (const c of children) if (c.output) console.error(`--- ${c.name} output ---\n${c.output}`);
  await cleanUp();
  process.exit(1);
}
