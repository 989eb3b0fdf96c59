// Drives the live view page in headless Chromium; started by liveview.sh with the daemon up.
// Prints one "ok"/"not ok" line per check and the measured times, exits 1 on any failure.
'use strict';
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const url = process.env.LIVEVIEW_URL;
const hash = process.env.LIVEVIEW_HASH;
const helium = 'test/helium/level';
let failures = 0;
let page = null;

// A failed check also prints what the page says, which is usually why.
async function check(what, ok, detail = '') {
  console.log(`${ok ? 'ok' : 'not ok'} - ${what}${detail ? ` (${detail})` : ''}`);
  if (ok) return;
  failures += 1;
  console.log(await page.evaluate(() => ['status', 'plotMessage', 'listInfo', 'listMessage', 'deviceMessage']
    .map((id) => `  #${id}: ${document.getElementById(id).textContent}`).join('\n')));
}

// Resolves true once the page function returns true, false after the deadline.
const until = (page, fn, arg, ms = 5000) =>
  page.waitForFunction(fn, arg, { timeout: ms, polling: 50 }).then(() => true, () => false);

const readout = (page, p) => page.evaluate((p) => {
  const row = document.querySelector(`#plotted tr[data-path="${p}"]`);
  return row ? { value: row.querySelector('.value').textContent, count: Number(row.querySelector('.count').textContent) } : null;
}, p);

const valueShown = (page, p, text, ms) => until(page, ([p, text]) => {
  const cell = document.querySelector(`#plotted tr[data-path="${p}"] .value`);
  return cell !== null && cell.textContent === text;
}, [p, text], ms);

function push(value) {
  const reply = execFileSync('dbus-send', ['--system', '--print-reply=literal', '--dest=com.quorix.datalogger.daemon',
    '/com/quorix/datalogger/daemon', 'com.quorix.datalogger.interface.pushData',
    `uint64:${hash}`, `array:double:${value}`, `array:int64:${Date.now() * 1000}`], { encoding: 'utf8' });
  if (reply.trim() !== 'uint16 0') throw new Error(`pushData answered ${reply}`);
}

// COUNT new data request ids from another client: the server keeps 100 and remembers 50
// expired ones, so a paused page's id expires after 100 and is forgotten after 150.
function otherRequests(count) {
  const args = ['-s', '-X', 'POST', '-w', '%{http_code}\n',
    '--data', JSON.stringify({ channelRequests: [{ path: helium, fetchItemsCountMax: 1 }] })];
  for (let i = 0; i < count; i++) args.push('-o', '/dev/null', new URL('../dfrm/data', url).href);
  return execFileSync('curl', args, { encoding: 'utf8' }).split('\n').filter((s) => s && s !== '200').length === 0;
}

async function timeFilter(page, text) {
  return page.evaluate(async (text) => {
    const started = performance.now();
    const input = document.getElementById('filter');
    input.value = text;
    input.dispatchEvent(new Event('input'));
    await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
    return { ms: performance.now() - started, rows: document.querySelectorAll('#channelRows .row').length };
  }, text);
}

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'liveview-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM, headless: true, viewport: { width: 1400, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  try {
    page = context.pages()[0] || await context.newPage();
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(e.message));

    let started = Date.now();
    await page.goto(url);
    const listed = await until(page, () => document.querySelectorAll('#channelRows .row').length === 500);
    const listMs = Date.now() - started;
    await check('the page lists all 500 channels', listed, `${listMs} ms from navigation`);
    await check('the list shows unit and description', await until(page, (p) => {
      const row = document.querySelector(`#channelRows [data-path="${p}"]`);
      return row !== null && row.textContent.includes('Percent') && row.textContent.includes('Helium level of the test magnet');
    }, helium));
    await check('device, firmware and clock type are shown', await until(page, () =>
      document.getElementById('deviceInfo').textContent.includes('SANDBOX-0001')
      && document.getElementById('firmware').textContent.startsWith('1.0.0-sandbox')
      && document.getElementById('clock').textContent.startsWith('relative')));

    const narrowed = await timeFilter(page, 'helium');
    await check('filtering by path narrows the list', narrowed.rows === 1, `${narrowed.ms.toFixed(1)} ms`);
    await page.click(`#channelRows [data-path="${helium}"] input`);
    await check('a ticked channel is plotted with its values', await valueShown(page, helium, '71.3 Percent')
      && (await readout(page, helium)).count === 3);

    started = Date.now();
    push(72.25);
    const seen = await valueShown(page, helium, '72.25 Percent', 5000);
    await check('a newly pushed value is shown within 5 s', seen, `${Date.now() - started} ms`);

    for (const [count, answer] of [[120, 'DataRequestId expired'], [160, 'Invalid DataRequestId']]) {
      await page.click('#pause');
      const before = (await readout(page, helium)).count;
      await check(`${count} data requests of another client answered`, otherRequests(count));
      await page.click('#pause');
      await check(`after ${count} other requests the page says "${answer}" and starts anew`, await until(page, (text) =>
        document.getElementById('plotMessage').textContent.includes(text), answer));
      const value = 73 + count / 40;
      push(value);
      await check('... and shows the next value, nothing twice or lost', await valueShown(page, helium, `${value} Percent`, 5000)
        && (await readout(page, helium)).count === before + 1);
    }

    // A failing storage and then a lost connection: both shown, retried with backoff, nothing lost.
    let faults = 0;
    await page.route('**/dfrm/data', (route) => (++faults === 1
      ? route.fulfill({ status: 500, contentType: 'text/plain', body: 'Internal error is (StorageError).' })
      : route.abort('connectionreset')));
    const before = (await readout(page, helium)).count;
    for (const text of ['HTTP 500 "Internal error is (StorageError)."\nretrying in 1 s', 'retrying in 2 s']) {
      await check(`the page says: ${text.replace('\n', ' ')}`, await until(page, (text) =>
        document.getElementById('plotMessage').textContent.includes(text), text));
    }
    await page.unroute('**/dfrm/data');
    push(78);
    await check('... and recovers with the next value, nothing twice or lost',
      await valueShown(page, helium, '78 Percent', 8000) && (await readout(page, helium)).count === before + 1);

    const widened = await timeFilter(page, '');
    await check('clearing the filter lists 500 channels again', widened.rows === 500, `${widened.ms.toFixed(1)} ms`);
    const trends = await timeFilter(page, 'test/trend');
    for (const p of ['test/trend/a', 'test/trend/b']) await page.click(`#channelRows [data-path="${p}"] input`);
    const inView = 10000 + (await readout(page, helium)).count;
    await check('two channels with 5,000 points each are plotted', await until(page, (n) =>
      window.liveView.stats.pointsInView === n, inView, 10000), `filter ${trends.ms.toFixed(1)} ms`);
    const draws = [];
    for (let i = 0; i < 3; i++) {
      const value = 80 + i;
      push(value);
      started = Date.now();
      const shown = await valueShown(page, helium, `${value} Percent`, 5000);
      draws.push({ shown, ms: Date.now() - started, drawMs: await page.evaluate(() => window.liveView.stats.lastDrawMs) });
    }
    const slowest = Math.max(...draws.map((d) => d.drawMs));
    await check('with 10,000 points in view each update is drawn within 250 ms',
      draws.every((d) => d.shown) && slowest < 250,
      `draws ${draws.map((d) => d.drawMs.toFixed(1)).join(', ')} ms; push to screen ${draws.map((d) => d.ms).join(', ')} ms`);
    await check('list rendered within 3000 ms and filters within 300 ms',
      listMs < 3000 && narrowed.ms < 300 && widened.ms < 300 && trends.ms < 300);
    await check('each of the three units has its own y axis, spanning its curves', await page.evaluate(() => {
      const u = window.liveView.plot();
      return u.axes.length === 4 && u.series.slice(1).every(({ scale }, i) => u.axes.filter((a) => a.scale === scale).length === 1
        && u.data[i + 1].every((y) => y == null || (y >= u.scales[scale].min && y <= u.scales[scale].max)));
    }));
    const times = await page.$$eval('#plotted .at', (cells) => cells.map((c) => c.textContent).join('\n'));
    await check('times read "N s before the newest value"', /^0 s before the newest value(\n\d+(\.\d)? s before the newest value){2}$/.test(times), times);

    // A new range asks on a new id; the CSV of 10 minutes holds nothing older and all in view.
    const chooseRange = (value, test, lo, hi) => Promise.all([page.waitForRequest((r) => r.url().endsWith('/dfrm/data')
      && r.postDataJSON().channelRequests?.every(test)), page.selectOption('#range', value)]).then(() => until(page, ([lo, hi]) =>
      window.liveView.stats.pointsInView >= lo && window.liveView.stats.pointsInView <= hi, [lo, hi], 10000), () => false);
    const [chosen, all] = [Date.now(), 10000 + (await readout(page, helium)).count];
    await check('10 min asks with fetchItemsByTime 600', await chooseRange('600', (c) => c.fetchItemsByTime === 600, 1, all - 1));
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#csv')]);
    const [header, ...rows] = fs.readFileSync(await download.path(), 'utf8').trim().split('\n').map((line) => line.split(','));
    const shown = await page.evaluate(() => window.liveView.stats.pointsInView);
    await check('"Download CSV" saves what is in view as the export does', header.join() === 'path,time_utc,timestamp_us,value,unit'
      && rows.length === shown && rows.some((r) => r.join().endsWith(',82,Percent')) && rows.every(([, utc, us]) =>
        us >= (chosen - 600000) * 1000 && utc === `${new Date(us / 1000).toISOString().slice(0, 23)}${us.slice(-3)}Z`), `${shown} in view`);
    await check('"everything" asks without fetchItemsByTime', await chooseRange('0', (c) => !('fetchItemsByTime' in c), all, all));
    if (process.env.LIVEVIEW_SCREENSHOT) await page.screenshot({ path: process.env.LIVEVIEW_SCREENSHOT });

    // This machine's clock never counts as set, so the server's answer is changed on the way.
    await page.route('**/dfrm/capabilities', async (route) => {
      const answer = await route.fetch();
      const doc = await answer.json();
      doc.capabilities.clockType = 'absolute';
      await route.fulfill({ response: answer, json: doc });
    });
    await page.reload();
    await until(page, () => document.querySelectorAll('#channelRows .row').length === 500);
    await page.click(`#channelRows [data-path="${helium}"] input`);
    await check('with an absolute clock the page plots in UTC', await until(page, (p) =>
      document.getElementById('clock').textContent.startsWith('absolute')
      && /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$/.test(
        document.querySelector(`#plotted [data-path="${p}"] .at`)?.textContent ?? '')
      && document.querySelector('#plot canvas') !== null, helium));
    await check('no script errors', pageErrors.length === 0, pageErrors.join('; '));
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(`liveview: ${failures} failed`);
  process.exit(failures ? 1 : 0);
}

main().catch((e) => { console.error(e); process.exit(1); });
