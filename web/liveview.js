// The live view: a DfRM client in the browser. It lists the channels, plots the chosen time
// range of the ticked ones and keeps it current by paging with one data request id. Everything
// read from the server is checked before use and written into the page as text only.
'use strict';

(function () {
  const DFRM = new URL('../dfrm/', location.href).href;
  const MAX_POINTS = 100000;           // kept per channel; older points are dropped first
  const MAX_PLOTTED = 8;
  const MAX_LISTED_ROWS = 1000;        // rows in the DOM at once; the filter narrows the rest
  const MAX_CHANNELS = 50000;          // a longer channel list is cut and said so
  const MAX_BODY_BYTES = 16 * 1024 * 1024;
  const MAX_SHOWN_TEXT = 400;          // characters of a server's error text put on the page
  const REQUEST_TIMEOUT_MS = 10000;
  const POLL_MS = 1000;
  const MIN_GAP_MS = 250;              // between two data requests, whatever happens
  const BACKOFF_MAX_MS = 30000;
  const CONFIG_REFRESH_MIN_MS = 10000; // a changing configHash reloads the list at most this often
  const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];

  const $ = (id) => document.getElementById(id);
  const el = {
    deviceInfo: $('deviceInfo'), firmware: $('firmware'), clock: $('clock'), deviceMessage: $('deviceMessage'),
    filter: $('filter'), listInfo: $('listInfo'), listMessage: $('listMessage'), rows: $('channelRows'),
    range: $('range'), pause: $('pause'), csv: $('csv'), status: $('status'), plotMessage: $('plotMessage'), plot: $('plot'),
    plotted: $('plottedRows'),
  };

  let clockType = 'relative';
  let rangeS = Number(el.range.value); // the plot shows this much before the newest value; 0: all
  let channels = [];                 // {path, unit, description, key}
  const rowCache = new Map();        // path -> <tr>, rebuilt when the list is reloaded
  const selected = new Map();        // path -> {path, unit, color, xs, ys, lastUs}
  const stats = { lastDrawMs: 0, pointsInView: 0, draws: 0 };
  window.liveView = { stats, plot: () => plot };  // read by the browser test and handy in the console

  // ---- helpers

  const shorten = (text) => {
    const s = String(text);
    return s.length > MAX_SHOWN_TEXT ? s.slice(0, MAX_SHOWN_TEXT) + '…' : s;
  };
  const clockText = () => new Date().toISOString().slice(11, 19);
  // Times as the reader wants them: UTC when the clock is trusted, else the distance in seconds.
  const utcText = (seconds) => {
    const date = new Date(seconds * 1000);
    return Number.isNaN(date.getTime()) ? '?' : date.toISOString().slice(0, 19).replace('T', ' ') + ' UTC';
  };
  const agoText = (seconds) => `${+seconds.toFixed(seconds < 10 ? 1 : 0)} s before the newest value`;
  const backoffMs = (failures) => Math.min(BACKOFF_MAX_MS, 1000 * 2 ** Math.min(failures - 1, 5));

  function say(target, kind, text) {
    target.className = 'message ' + kind;
    target.textContent = text ? `${clockText()} UTC  ${text}` : '';
  }

  // Reads at most MAX_BODY_BYTES of an answer, so a broken or hostile server cannot make the
  // page hold an unbounded body.
  async function readBounded(response) {
    const declared = Number(response.headers.get('Content-Length'));
    if (declared > MAX_BODY_BYTES) throw new Error(`answer of ${declared} bytes is too large`);
    if (!response.body) return '';
    const reader = response.body.getReader();
    const chunks = [];
    let size = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      size += value.length;
      if (size > MAX_BODY_BYTES) {
        reader.cancel();
        throw new Error(`answer larger than ${MAX_BODY_BYTES} bytes`);
      }
      chunks.push(value);
    }
    const all = new Uint8Array(size);
    let offset = 0;
    for (const c of chunks) { all.set(c, offset); offset += c.length; }
    return new TextDecoder().decode(all);
  }

  // One DfRM call: {status, text}; status 0 means no answer (network error or time-out).
  async function dfrm(route, body) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
    const init = { cache: 'no-store', signal: abort.signal };
    if (body !== undefined) {
      Object.assign(init, { method: 'POST', body: JSON.stringify(body),
                            headers: { 'Content-Type': 'application/json' } });
    }
    try {
      const response = await fetch(DFRM + route, init);
      return { status: response.status, text: await readBounded(response) };
    } catch (e) {
      const why = e.name === 'AbortError' ? `no answer within ${REQUEST_TIMEOUT_MS / 1000} s` : e.message;
      return { status: 0, text: why };
    } finally {
      clearTimeout(timer);
    }
  }

  function failureText(route, answer) {
    return answer.status === 0 ? `/dfrm/${route}: ${answer.text}`
                               : `/dfrm/${route}: HTTP ${answer.status} "${shorten(answer.text.trim())}"`;
  }

  // The JSON document of a 200 answer, or an Error that says what was wrong.
  function documentOf(route, answer) {
    if (answer.status !== 200) return new Error(failureText(route, answer));
    try {
      const doc = JSON.parse(answer.text);
      if (doc && typeof doc === 'object' && !Array.isArray(doc)) return doc;
    } catch (e) { /* reported below */ }
    return new Error(`/dfrm/${route}: the answer is not a JSON object`);
  }

  // ---- device, clock and channel list

  function describeTpx(text) {
    try {
      const info = JSON.parse(text);
      if (info && typeof info === 'object' && !Array.isArray(info)) {
        return Object.entries(info).filter(([, v]) => typeof v !== 'object')
          .map(([k, v]) => `${k} ${v}`).join(', ');
      }
    } catch (e) { /* not JSON: shown as it is */ }
    return text;
  }

  function showIdentification(doc) {
    const devices = Array.isArray(doc.devices) ? doc.devices : [];
    const names = devices.map((d) => (d && typeof d.tpx === 'string' ? describeTpx(d.tpx) : '?'));
    const common = devices.length && devices[0] && devices[0].common ? devices[0].common : {};
    el.deviceInfo.textContent = shorten(names.join(' | ') || 'none');
    el.firmware.textContent = shorten(
      `${common.firmwareVersion ?? '?'} (DfRM ${common.protocolVersion ?? '?'})`);
  }

  function showClock(doc) {
    const type = doc.capabilities && doc.capabilities.clockType;
    const next = type === 'absolute' ? 'absolute' : 'relative';
    el.clock.textContent = type === 'absolute' ? 'absolute (UTC on the axis)'
                         : type === 'relative' ? 'relative (clock not set: seconds on the axis)'
                         : `unknown "${shorten(type)}", shown as relative`;
    if (next !== clockType) { clockType = next; draw(); }
  }

  function readChannels(doc) {
    if (!Array.isArray(doc.dataChannels)) throw new Error('/dfrm/datachannels: no "dataChannels" list');
    const list = [];
    const seen = new Set();
    for (const c of doc.dataChannels.slice(0, MAX_CHANNELS)) {
      if (!c || typeof c.path !== 'string' || seen.has(c.path)) continue;
      seen.add(c.path);
      list.push({ path: c.path, unit: typeof c.type === 'string' ? c.type : '',
                  description: typeof c.description === 'string' ? c.description : '',
                  key: c.path.toLowerCase() });
    }
    list.sort((a, b) => (a.path < b.path ? -1 : a.path > b.path ? 1 : 0));
    channels = list;
    rowCache.clear();
    for (const ch of selected.values()) {
      const now = list.find((c) => c.path === ch.path);
      if (now) ch.unit = now.unit;
    }
    renderList();
    return doc.dataChannels.length > MAX_CHANNELS
      ? `The server lists ${doc.dataChannels.length} channels; only the first ${MAX_CHANNELS} are shown.` : '';
  }

  // A label, so that a click anywhere on the row ticks its box.
  function rowFor(c) {
    let row = rowCache.get(c.path);
    if (!row) {
      row = document.createElement('label');
      row.className = 'row';
      row.setAttribute('role', 'listitem');
      row.dataset.path = c.path;
      const box = document.createElement('input');
      box.type = 'checkbox';
      row.append(box);
      [['path', c.path], ['unit', shorten(c.unit)], ['description', shorten(c.description)]].forEach(([cls, text]) => {
        row.append(Object.assign(document.createElement('span'), { className: cls, textContent: text }));
      });
      rowCache.set(c.path, row);
    }
    const on = selected.has(c.path);
    row.classList.toggle('selected', on);
    row.firstChild.checked = on;
    return row;
  }

  function renderList() {
    const filter = el.filter.value.trim().toLowerCase();
    const matches = filter ? channels.filter((c) => c.key.includes(filter)) : channels;
    el.rows.replaceChildren(...matches.slice(0, MAX_LISTED_ROWS).map(rowFor));
    el.listInfo.textContent = matches.length > MAX_LISTED_ROWS
      ? `${matches.length} of ${channels.length} channels match; the first ${MAX_LISTED_ROWS} are listed`
      : `${matches.length} of ${channels.length} channels`;
  }

  let listFrame = 0;
  el.filter.addEventListener('input', () => {
    if (!listFrame) listFrame = requestAnimationFrame(() => { listFrame = 0; renderList(); });
  });

  el.rows.addEventListener('change', (event) => {
    const row = event.target.closest('[data-path]');
    const c = row && channels.find((x) => x.path === row.dataset.path);
    if (c) { toggle(c); rowFor(c); }
  });

  let configFailures = 0;
  let configTimer = 0;
  let configLoadedAt = 0;
  let configHash = null;

  async function loadConfig() {
    clearTimeout(configTimer);
    configLoadedAt = performance.now();
    const [ident, caps, list] = await Promise.all(
      ['identification', 'capabilities', 'datachannels'].map((r) => dfrm(r).then((a) => documentOf(r, a))));
    const problems = [];
    if (ident instanceof Error) problems.push(ident.message); else showIdentification(ident);
    if (caps instanceof Error) problems.push(caps.message);
    else { showClock(caps); configHash = caps.configHash; }
    let listNote = '';
    if (list instanceof Error) problems.push(list.message);
    else {
      try { listNote = readChannels(list); } catch (e) { problems.push(e.message); }
    }
    say(el.listMessage, 'notice', listNote);
    if (problems.length) {
      configFailures += 1;
      const wait = backoffMs(configFailures);
      say(el.deviceMessage, 'error', `${problems.join('\n')}\nretrying in ${wait / 1000} s`);
      configTimer = setTimeout(loadConfig, wait);
    } else {
      configFailures = 0;
      say(el.deviceMessage, '', '');
    }
  }

  // A changed configHash means channels, devices or the clock may have changed.
  function noticeConfigHash(hash) {
    if (typeof hash !== 'string' || hash === configHash || configFailures) return;
    configHash = hash;
    const due = configLoadedAt + CONFIG_REFRESH_MIN_MS - performance.now();
    clearTimeout(configTimer);
    configTimer = setTimeout(loadConfig, Math.max(0, due));
  }

  // ---- selection and plot

  function toggle(c) {
    if (selected.has(c.path)) {
      selected.delete(c.path);
    } else {
      if (selected.size >= MAX_PLOTTED) {
        say(el.plotMessage, 'notice', `At most ${MAX_PLOTTED} channels are plotted at once.`);
        return;
      }
      const used = new Set([...selected.values()].map((s) => s.color));
      selected.set(c.path, { path: c.path, unit: c.unit, color: COLORS.find((x) => !used.has(x)),
                             xs: [], ys: [], lastUs: 0 });
    }
    draw();
    restartRequest();
  }

  function drop(path) {
    selected.delete(path);
    const tr = rowCache.get(path);
    if (tr) rowFor(channels.find((c) => c.path === path) || { path });
    draw();
  }

  // Points before the newest value minus the range, and beyond MAX_POINTS, are dropped.
  function trim() {
    let newest = -Infinity;
    for (const ch of selected.values()) if (ch.xs.length) newest = Math.max(newest, ch.xs[ch.xs.length - 1]);
    const cutoff = rangeS ? newest - rangeS : -Infinity;
    for (const ch of selected.values()) {
      let lo = 0, hi = ch.xs.length;
      while (lo < hi) { const mid = (lo + hi) >> 1; if (ch.xs[mid] < cutoff) lo = mid + 1; else hi = mid; }
      const start = Math.max(lo, ch.xs.length - MAX_POINTS);
      if (start > 0) { ch.xs.splice(0, start); ch.ys.splice(0, start); }
    }
  }

  let plot = null;
  let plotKey = '';

  function plotOptions(list) {
    const units = [...new Set(list.map((c) => c.unit))];
    const relative = clockType !== 'absolute';
    const axes = [{
      label: relative ? 's before the newest value' : 'UTC',
      ...(relative ? { values: (u, splits) => splits.map((v) => String(Math.round(-v))) } : {}),
    }];
    // One axis per unit, alternately left and right: curves of different units never share one.
    units.forEach((unit, i) => {
      const curves = list.filter((c) => c.unit === unit);
      axes.push({ scale: unit, label: unit, side: i % 2 ? 1 : 3, grid: { show: i === 0 }, size: 60,
                  ...(curves.length === 1 ? { stroke: curves[0].color } : {}) });
    });
    return {
      width: Math.max(200, el.plot.clientWidth),
      height: Math.max(200, el.plot.clientHeight - 40),
      scales: { x: { time: !relative } },
      tzDate: (ts) => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC'),
      series: [{ label: relative ? 'time' : 'UTC',
                 value: (u, v) => (v === null ? '' : relative ? agoText(-v) : utcText(v)) }].concat(list.map((c) => ({
        label: c.path, stroke: c.color, scale: c.unit, width: 1.5, points: { show: false },
      }))),
      axes,
      legend: { live: true },
      cursor: { drag: { x: true, y: false } },
    };
  }

  function draw() {
    const started = performance.now();
    const list = [...selected.values()];
    if (!list.length) {
      if (plot) { plot.destroy(); plot = null; plotKey = ''; }
      el.plot.replaceChildren(Object.assign(document.createElement('p'), {
        className: 'placeholder', textContent: 'Tick channels in the list to plot them.' }));
      stats.pointsInView = 0;
      renderPlotted(list);
      return;
    }
    const data = list.length === 1 ? [list[0].xs.slice(), list[0].ys.slice()]
                                   : uPlot.join(list.map((c) => [c.xs, c.ys]));
    if (clockType !== 'absolute' && data[0].length) {
      const newest = data[0][data[0].length - 1];
      data[0] = data[0].map((x) => x - newest);
    }
    const key = clockType + '\n' + list.map((c) => c.path + '\t' + c.unit).join('\n');
    if (key !== plotKey) {
      if (plot) plot.destroy();
      el.plot.replaceChildren();
      plot = new uPlot(plotOptions(list), data, el.plot);
      plotKey = key;
    } else {
      plot.setData(data);
    }
    stats.pointsInView = list.reduce((n, c) => n + c.xs.length, 0);
    renderPlotted(list);
    stats.lastDrawMs = performance.now() - started;
    stats.draws += 1;
  }

  function renderPlotted(list) {
    const newest = Math.max(...list.map((c) => (c.xs.length ? c.xs[c.xs.length - 1] : -Infinity)));
    const timeText = (x) => (clockType === 'absolute' ? utcText(x) : agoText(newest - x));
    el.plotted.replaceChildren(...list.map((c) => {
      const tr = document.createElement('tr');
      tr.dataset.path = c.path;
      const n = c.xs.length;
      const swatch = Object.assign(document.createElement('span'), { className: 'swatch' });
      swatch.style.background = c.color;
      const remove = Object.assign(document.createElement('button'), { type: 'button', textContent: '×',
                                                                       title: 'stop plotting' });
      remove.addEventListener('click', () => { drop(c.path); restartRequest(); });
      const texts = [swatch, c.path, n ? `${c.ys[n - 1]} ${c.unit}` : 'no value yet',
                     n ? timeText(c.xs[n - 1]) : '', String(n), remove];
      ['', 'path', 'value', 'at', 'count', ''].forEach((cls, i) => {
        const td = document.createElement('td');
        td.className = cls;
        if (typeof texts[i] === 'string') td.textContent = texts[i]; else td.append(texts[i]);
        tr.append(td);
      });
      return tr;
    }));
  }

  addEventListener('resize', () => {
    if (plot) plot.setSize({ width: Math.max(200, el.plot.clientWidth), height: plot.height });
  });

  // ---- CSV of what is in view, in the columns and number forms of the command-line export

  // The shortest text that reads back as the same double, fixed or with an exponent, whichever
  // is shorter and fixed on a tie: the form std::to_chars gives the export.
  function numberText(v) {
    if (!Number.isFinite(v)) return Number.isNaN(v) ? 'nan' : v < 0 ? '-inf' : 'inf';
    const [mantissa, exp] = Math.abs(v).toExponential().split('e');
    const digits = mantissa.replace('.', '');
    const e = Number(exp);
    // A whole number is written with all its digits, as printf's fixed form does.
    const fixed = e >= digits.length - 1 ? BigInt(Math.abs(v)).toString()
                : e >= 0 ? `${digits.slice(0, e + 1)}.${digits.slice(e + 1)}` : `0.${'0'.repeat(-e - 1)}${digits}`;
    const scientific = `${mantissa}e${e < 0 ? '-' : '+'}${String(Math.abs(e)).padStart(2, '0')}`;
    return (v < 0 || Object.is(v, -0) ? '-' : '') + (fixed.length <= scientific.length ? fixed : scientific);
  }

  function utcMicros(us) {
    const date = new Date(Math.floor(us / 1e6) * 1000);
    if (Number.isNaN(date.getTime())) return `${us} µs`;
    return `${date.toISOString().slice(0, 19)}.${String(((us % 1e6) + 1e6) % 1e6).padStart(6, '0')}Z`;
  }

  const csvField = (text) => (/[,"\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text);

  el.csv.addEventListener('click', () => {
    const parts = ['path,time_utc,timestamp_us,value,unit\n'];
    for (const c of [...selected.values()].sort((a, b) => (a.path < b.path ? -1 : 1))) {
      const path = csvField(c.path);
      const unit = csvField(c.unit);
      let rows = '';
      for (let i = 0; i < c.xs.length; i++) {
        const us = Math.round(c.xs[i] * 1e6);
        rows += `${path},${utcMicros(us)},${us},${c.ys[i] === null ? '' : numberText(c.ys[i])},${unit}\n`;
        if (rows.length > 1 << 20) { parts.push(rows); rows = ''; }
      }
      parts.push(rows);
    }
    const link = Object.assign(document.createElement('a'), {
      href: URL.createObjectURL(new Blob(parts, { type: 'text/csv' })),
      download: `datalogger-${new Date().toISOString().slice(0, 19).replace(/[-:]/g, '')}Z.csv`,
    });
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  });

  // ---- paging with the data request id

  // At most one request is in flight and two start at least MIN_GAP_MS apart. Any failure
  // starts a new request from the newest value seen per channel, so nothing is fetched twice
  // and nothing is lost when the server forgot or refused the old id.
  const loop = { id: null, fresh: true, paused: false, inFlight: false, timer: 0, lastStart: -Infinity,
                 generation: 0, failures: 0 };

  function channelRequest(ch) {
    const request = { path: ch.path, fetchItemsCountMax: MAX_POINTS };
    if (rangeS) request.fetchItemsByTime = rangeS;
    if (ch.lastUs > 0) request.lastCounter = ch.lastUs;
    return request;
  }

  function schedule(ms) {
    clearTimeout(loop.timer);
    loop.timer = setTimeout(poll, Math.max(ms, loop.lastStart + MIN_GAP_MS - performance.now()));
  }

  function restartRequest() {
    loop.fresh = true;
    loop.generation += 1;
    if (!loop.inFlight && !loop.paused) schedule(0);
  }

  async function poll() {
    if (loop.paused || loop.inFlight) return;
    if (!selected.size) { loop.id = null; showStatus(); return; }
    const generation = loop.generation;
    const fresh = loop.fresh || loop.id === null;
    const body = fresh ? { channelRequests: [...selected.values()].map(channelRequest) }
                       : { dataRequestId: loop.id };
    loop.inFlight = true;
    loop.lastStart = performance.now();
    const answer = await dfrm('data', body);
    loop.inFlight = false;
    // An answer for channels that are no longer ticked is dropped: the new request that the
    // change asked for starts from the newest value kept.
    const next = generation !== loop.generation ? 0 : handle(answer, fresh);
    showStatus();
    if (!loop.paused) schedule(next);
  }

  function handle(answer, fresh) {
    const doc = documentOf('data', answer);
    if (!(doc instanceof Error)) {
      try {
        const more = apply(doc);
        loop.failures = 0;
        loop.fresh = false;
        if (el.plotMessage.classList.contains('error')) say(el.plotMessage, '', '');
        // A capped answer: the rest follows at once (MIN_GAP_MS still spaces the requests).
        return more ? 0 : POLL_MS;
      } catch (e) {
        return failed(`/dfrm/data: ${e.message}`);
      }
    }
    const text = answer.text.trim();
    if (answer.status === 404) {
      const gone = /^Path \((.*)\) is unknown\./.exec(text);
      if (gone && selected.has(gone[1])) {
        drop(gone[1]);
        return failed(`Channel ${gone[1]} is gone and no longer plotted ("${shorten(text)}").`, 'notice', true);
      }
    }
    if ((answer.status === 404 || answer.status === 410) && !fresh) {
      return failed(`DfRM answered ${answer.status} "${shorten(text)}": started a new request from the newest value seen.`,
                    'notice', true);
    }
    return failed(doc.message);
  }

  // The first replacement of a refused id goes out at once; repeated failures back off.
  function failed(message, kind = 'error', quickFirst = false) {
    loop.failures += 1;
    loop.fresh = true;
    const wait = quickFirst && loop.failures === 1 ? 0 : backoffMs(loop.failures);
    say(el.plotMessage, kind, kind === 'error' ? `${message}\nretrying in ${wait / 1000} s` : message);
    return wait;
  }

  function apply(doc) {
    if (!Array.isArray(doc.measurements)) throw new Error('no "measurements" list in the answer');
    const id = doc.dataRequestId;
    if (typeof id !== 'string' || !/^[0-9]{1,10}$/.test(id)) throw new Error('no usable "dataRequestId" in the answer');
    loop.id = id;
    let changed = false;
    let more = false;
    for (const m of doc.measurements) {
      const ch = m && typeof m.path === 'string' ? selected.get(m.path) : undefined;
      if (!ch) continue;
      if (m.hasMoreData === true) more = true;
      const { values, timeOffsets, countLastValue } = m;
      if (!Number.isSafeInteger(countLastValue) || !Array.isArray(values) || !Array.isArray(timeOffsets)
          || values.length !== timeOffsets.length) {
        if (typeof m.status === 'string') say(el.plotMessage, 'notice', `${ch.path}: ${shorten(m.status)}`);
        continue;
      }
      let last = ch.xs.length ? ch.xs[ch.xs.length - 1] : -Infinity;
      for (let i = Math.max(0, values.length - MAX_POINTS); i < values.length; i++) {
        // Whole microseconds, so that the CSV gives back the stored time stamps.
        const x = typeof timeOffsets[i] === 'number' ? (countLastValue + Math.round(timeOffsets[i] * 1e6)) / 1e6 : NaN;
        const y = values[i];
        if (!Number.isFinite(x) || x <= last || (y !== null && typeof y !== 'number')) continue;
        ch.xs.push(x);
        ch.ys.push(y);
        last = x;
        changed = true;
      }
      ch.lastUs = Math.max(ch.lastUs, countLastValue);
    }
    if (changed) { trim(); draw(); }
    noticeConfigHash(doc.configHash);
    return more;
  }

  function showStatus() {
    const parts = [loop.paused ? 'paused' : selected.size ? `polling every ${POLL_MS / 1000} s` : 'idle'];
    if (loop.id) parts.push(`request id ${loop.id}`);
    parts.push(`${stats.pointsInView} points in view`);
    el.status.textContent = parts.join(' · ');
  }

  // A new range starts a new request id: its first answer reaches back as far as the range asks.
  el.range.addEventListener('change', () => {
    rangeS = Number(el.range.value);
    for (const ch of selected.values()) { ch.xs = []; ch.ys = []; ch.lastUs = 0; }
    draw();
    restartRequest();
  });

  el.pause.addEventListener('click', () => {
    loop.paused = !loop.paused;
    el.pause.textContent = loop.paused ? 'Resume' : 'Pause';
    if (loop.paused) clearTimeout(loop.timer); else schedule(0);
    showStatus();
  });

  showStatus();
  loadConfig();
})();
