// What the browser scripts share: the sample service and `ogcweb serve` in
// front of it as child processes, and Debian's chromium driven over the
// DevTools protocol (puppeteer-core; no browser is ever downloaded).
'use strict';

const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const puppeteer = require('puppeteer-core');

const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

function scratch(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// The sample service (MapServer behind the demo front) on a free port;
// stop() ends it.
function startSample(source) {
  const run = scratch('ogcweb-browser-sample-');
  const env = { ...process.env, OGC_DEMO_RUN_DIR: run };
  execFileSync(path.join(source, 'demo/server/start.sh'), ['--port', '0'], { env, stdio: ['ignore', 'ignore', 'inherit'] });
  const port = fs.readFileSync(path.join(run, 'front.port'), 'utf8').trim();
  return {
    url: `http://127.0.0.1:${port}`,
    stop() {
      try { execFileSync(path.join(source, 'demo/server/stop.sh'), [], { env, stdio: 'ignore' }); } catch (e) { /* gone */ }
      fs.rmSync(run, { recursive: true, force: true });
    },
  };
}

// A program that prints "listening on 127.0.0.1:PORT" first (ogcweb serve,
// the demo's MapProxy); resolves with its address once it does.
function startListening(program, args, seconds) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { stdio: ['pipe', 'pipe', 'inherit'] });
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`${program} did not listen in ${seconds} s`)); },
                             seconds * 1000);
    child.on('exit', code => { clearTimeout(timer); reject(new Error(`${program} ${args[0]} exited with ${code}`)); });
    readline.createInterface({ input: child.stdout }).once('line', line => {
      clearTimeout(timer);
      const match = /^listening on 127\.0\.0\.1:(\d+)/.exec(line);
      if (!match) { child.kill('SIGKILL'); reject(new Error(`unexpected first line: ${line}`)); return; }
      child.stdout.resume();
      resolve({
        url: `http://127.0.0.1:${match[1]}`,
        stop() {
          child.removeAllListeners('exit');
          return new Promise(done => { child.once('exit', code => done(code)); child.kill('SIGINT'); });
        },
      });
    });
  });
}

async function launchBrowser() {
  if (!fs.existsSync(chromium)) throw new Error(`no browser at ${chromium} (Debian package chromium)`);
  const profile = scratch('ogcweb-browser-profile-');
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => { await close(); fs.rmSync(profile, { recursive: true, force: true }); };
  return browser;
}

// Waits until every picture the page asked for has come and no features
// query is under way.
async function settled(page) {
  await page.waitForFunction(() => window.viewer && window.viewer.ready &&
    window.viewer.overlays.every(o => !(o.picture && (o.picture.busy || (o.picture.on && !o.picture.tried))) &&
                                      !(o.state && (o.state.busy || (o.state.on && !o.state.tried))) && !o.loading),
    { timeout: 60000, polling: 200 });
  await new Promise(done => setTimeout(done, 300));
}

module.exports = { startSample, startListening, launchBrowser, settled, scratch };
