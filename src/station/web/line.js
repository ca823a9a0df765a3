// The line's page: a tile per station, the day's totals and the latest
// failures, from the line's database. Every text from the database (names,
// ports, values, failure lines) goes into the page through textContent,
// never as markup (page.js); a station's own page is linked only by an
// http:// address.
'use strict';

const TOKEN_KEY = 'quelmar-line-token';
const WHO = 'The line dashboard';
const STATE_WORDS = {
  running: 'RUNNING',
  paused: 'PAUSED',
  stopping: 'STOPPING',
  stopped: 'STOPPED',
  offline: 'OFFLINE',
};
const SLOT_WORDS = {
  waiting: 'WAITING',
  identifying: 'IDENT',
  writing: 'WRITING',
  ok: 'OK',
  failed: 'FAILED',
  gone: 'GONE',
};

const tiles = new Map();  // station name -> its tile

function yieldText(value) {
  return value === null ? '\u2013' : value.toFixed(1) + '%';
}

function isLoopback(host) {
  return host === 'localhost' || host.startsWith('127.') || host === '[::1]';
}

// The station's own page, when this browser can open it: an http://
// address, and a loopback one only when this page is on loopback too.
function stationPage(address) {
  if (!address) return null;
  let url;
  try {
    url = new URL(address);
  } catch (e) {
    return null;
  }
  if (url.protocol !== 'http:') return null;
  if (isLoopback(url.hostname) && !isLoopback(location.hostname)) return null;
  return url.href;
}

function ago(seconds) {
  if (seconds < 120) return seconds + ' s';
  if (seconds < 7200) return Math.floor(seconds / 60) + ' min';
  if (seconds < 172800) return Math.floor(seconds / 3600) + ' h';
  return Math.floor(seconds / 86400) + ' days';
}

// A line of the program's, as the start of a sentence.
function sentence(text) {
  return text ? text[0].toUpperCase() + text.slice(1) : '';
}

function control(path) {
  return sendControl(path, TOKEN_KEY, WHO);
}

function makeTile(name) {
  const tile = el('article', 'station');
  tile.dataset.name = name;
  const band = el('div', 'band');
  tile.state = el('div', 'state');
  tile.seen = el('div', 'seen');
  band.append(tile.state, tile.seen);
  tile.nameLine = el('div', 'name');
  tile.nameLine.textContent = name;
  // The job it runs, under its name; hidden for a station without one.
  tile.job = el('div', 'job');
  tile.jobName = el('span', 'job-name');
  tile.jobState = el('span', 'job-state');
  tile.job.append(tile.jobName, tile.jobState);
  tile.host = el('div', 'host');
  const counts = el('dl', 'counts');
  tile.counts = {};
  for (const [key, label] of [['ok', 'OK'], ['failed', 'Failed'], ['yield', 'Yield'],
                              ['first_pass_yield', 'First pass'], ['last_hour', 'Last hour']]) {
    const box = el('div');
    const dt = el('dt');
    dt.textContent = label;
    const dd = el('dd');
    dd.className = 'count-' + key;
    box.append(dt, dd);
    counts.appendChild(box);
    tile.counts[key] = dd;
  }
  tile.slots = el('div', 'slots');
  const actions = el('div', 'actions');
  const path = '/api/station/' + encodeURIComponent(name) + '/';
  for (const action of ['pause', 'resume', 'stop']) {
    const button = el('button', action);
    button.type = 'button';
    button.textContent = action[0].toUpperCase() + action.slice(1);
    button.addEventListener('click', () => control(path + action));
    actions.appendChild(button);
  }
  tile.link = el('a');
  tile.link.textContent = 'Station page';
  tile.link.rel = 'noreferrer';
  actions.appendChild(tile.link);
  tile.append(band, tile.nameLine, tile.job, tile.host, counts, tile.slots, actions);
  return tile;
}

function renderSlots(box, slots) {
  box.replaceChildren();
  for (const slot of slots) {
    // A board written again after its link failed: amber, as on the
    // station's own page.
    const retrying = slot.state === 'writing' && slot.retry > 0;
    const chip = el('div', 'slot slot-' + (retrying ? 'retry' : slot.state));
    chip.dataset.state = retrying ? 'retry' : slot.state;
    const port = el('div', 'port');
    port.textContent = slot.port;
    const word = el('div', 'word');
    let text = SLOT_WORDS[slot.state] || slot.state.toUpperCase();
    if (slot.state === 'writing') text = slot.percent + '%';
    if (retrying) text = 'RETRY ' + slot.retry + '/' + slot.retries;
    word.textContent = text;
    chip.append(port, word);
    if (slot.state === 'failed' && slot.failure) chip.title = slot.failure;
    box.appendChild(chip);
  }
}

function renderStation(tile, s) {
  tile.className = 'station station-' + s.state;
  tile.dataset.state = s.state;
  tile.state.textContent = STATE_WORDS[s.state] || s.state.toUpperCase();
  tile.seen.textContent = s.state === 'offline' ? 'not seen for ' + ago(s.seen_s) : '';
  tile.host.textContent = s.host + ' \u00b7 ' + s.version;
  tile.job.hidden = !s.job;
  tile.jobName.textContent = s.job ? jobName(s.job) : '';
  tile.jobState.textContent = s.job ? jobStateWords(s.job) : '';
  tile.jobState.hidden = !tile.jobState.textContent;
  tile.counts.ok.textContent = String(s.ok);
  tile.counts.failed.textContent = String(s.failed);
  tile.counts.failed.parentNode.classList.toggle('some', s.failed > 0);
  tile.counts.yield.textContent = yieldText(s.yield);
  tile.counts.first_pass_yield.textContent = yieldText(s.first_pass_yield);
  tile.counts.last_hour.textContent = String(s.last_hour);
  renderSlots(tile.slots, s.slots);
  const page = stationPage(s.dashboard);
  tile.link.hidden = page === null;
  if (page === null) {
    tile.link.removeAttribute('href');
  } else if (tile.link.getAttribute('href') !== page) {
    tile.link.href = page;
  }
}

function renderFailures(failures) {
  const body = document.querySelector('#failures tbody');
  body.replaceChildren();
  for (const f of failures) {
    const row = el('tr');
    const cells = [
      new Date(f.time).toLocaleTimeString(),
      f.station,
      f.port,
      (f.unit ? ['unit ' + f.unit] : [])
        .concat(f.fields.map(([name, value]) => name + ' ' + value))
        .join(', ') || 'board ' + f.board,
      f.failure || 'FAILED',
    ];
    cells.forEach((text, i) => {
      const td = el('td', ['f-time', 'f-station', 'f-port', 'f-fields', 'f-failure'][i]);
      td.textContent = text;
      row.appendChild(td);
    });
    body.appendChild(row);
  }
  document.getElementById('failures').hidden = failures.length === 0;
  document.getElementById('no-failures').hidden = failures.length !== 0;
}

function render(state) {
  setText('line-name', state.line);
  document.title = state.line + ' \u2013 Quelmar line';
  setText('server', 'Quelmar line \u00b7 ' + state.server);
  setText('total-ok', String(state.ok));
  setText('total-failed', String(state.failed));
  document.getElementById('total-failed').className = state.failed > 0 ? 'some' : '';
  setText('yield', yieldText(state.yield));
  setText('first-pass', yieldText(state.first_pass_yield));
  setText('per-hour', String(state.last_hour));
  // Records the database would not take as their boards' (an edited
  // spool file): a problem for a person to look at.
  setText('refused', String(state.refused || 0));
  document.getElementById('refused-box').hidden = !(state.refused > 0);
  setText('up', state.up + ' / ' + state.stations.length);
  document.getElementById('up').className = state.up < state.stations.length ? 'some-down' : '';

  const away = document.getElementById('db-away');
  away.hidden = state.connected;
  const problem = state.problem || "connecting to the line's database";
  away.textContent = state.connected
    ? ''
    : sentence(problem) + ' \u2013 the page shows what it read last';
  document.body.classList.toggle('stale', !state.connected);
  const notice = document.getElementById('notice');
  notice.hidden = !state.notice;
  notice.textContent = sentence(state.notice);

  const main = document.getElementById('stations');
  const seen = new Set();
  for (const s of state.stations) {
    let tile = tiles.get(s.name);
    if (!tile) {
      tile = makeTile(s.name);
      tiles.set(s.name, tile);
    }
    seen.add(s.name);
    renderStation(tile, s);
    main.appendChild(tile);  // in the order given: by name
  }
  for (const [name, tile] of tiles) {
    if (!seen.has(name)) {
      tile.remove();
      tiles.delete(name);
    }
  }
  renderFailures(state.failures);
}

document.getElementById('pause').addEventListener('click', () => control('/api/line/pause'));
document.getElementById('resume').addEventListener('click', () => control('/api/line/resume'));
document.getElementById('stop').addEventListener('click', () => control('/api/line/stop'));
connectEvents(render);
