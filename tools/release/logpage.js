'use strict';
// The summary of tools/logs as one self-contained HTML page (no network access when it is
// opened): the summary object is embedded as JSON, and a small script draws the runs per
// day as a bar chart, the steps, the causes with their share and example records, the top
// errors, the hosts and the shares of runs with outages, renewals, sign-in pages and full
// disks. Texts from the field reach the page only through textContent.

const STYLE = `
  body { font: 14px/1.4 "DejaVu Sans", Arial, sans-serif; color: #1d2430; background: #f4f6f9; margin: 0; }
  header { background: #1f3a5f; color: #fff; padding: 16px 28px; }
  header h1 { margin: 0 0 4px; font-size: 21px; font-weight: 600; }
  header p { margin: 0; opacity: .85; }
  main { padding: 18px 28px 28px; display: grid; grid-template-columns: 1fr 1fr; gap: 18px; }
  section { background: #fff; border-radius: 6px; box-shadow: 0 1px 3px rgba(0,0,0,.12); padding: 14px 18px; }
  section.wide { grid-column: 1 / 3; }
  h2 { font-size: 15px; margin: 0 0 10px; color: #1f3a5f; }
  .tiles { display: grid; grid-template-columns: repeat(6, 1fr); gap: 12px; }
  .tile { background: #eef2f7; border-radius: 5px; padding: 8px 10px; }
  .tile b { display: block; font-size: 22px; color: #1f3a5f; }
  .tile span { font-size: 12px; color: #4a5566; }
  table { border-collapse: collapse; width: 100%; }
  th, td { text-align: left; padding: 5px 6px; border-bottom: 1px solid #e3e7ee; vertical-align: top; }
  th { font-size: 12px; color: #4a5566; font-weight: 600; }
  td.n { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
  .bar { background: #dfe6f0; height: 10px; border-radius: 5px; min-width: 90px; }
  .bar i { display: block; height: 10px; border-radius: 5px; background: #d9822b; }
  .steps .bar i { background: #3b6ea8; }
  details { margin: 4px 0 0; }
  summary { cursor: pointer; color: #3b6ea8; font-size: 12px; }
  .example { font: 12px/1.35 "DejaVu Sans Mono", monospace; background: #f7f8fa; border-left: 3px solid #d9822b;
    padding: 4px 8px; margin: 4px 0; white-space: pre-wrap; word-break: break-word; }
  .muted { color: #6b7585; font-size: 12px; }
  svg text { font: 11px "DejaVu Sans", Arial, sans-serif; fill: #4a5566; }
  svg .value { fill: #1d2430; font-weight: 600; }
`;

// Runs when the page is opened; reads the embedded summary, builds the page's sections.
function draw() {
  const summary = JSON.parse(document.getElementById('summary').textContent);
  const $ = (tag, attrs, ...children) => {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
    return e;
  };
  const percent = (share) => (share * 100).toFixed(1) + '%';
  const bar = (share) => $('div', { class: 'bar' }, $('i', { style: 'width:' + Math.max(0, Math.min(100, share * 100)) + '%' }));
  const DAY = 24 * 3600 * 1000;

  const w = summary.window;
  document.getElementById('window').textContent = (w.since || '').slice(0, 16).replace('T', ' ') + ' to ' +
    (w.until || '').slice(0, 16).replace('T', ' ') + ' UTC' + (w.release ? ', release ' + w.release : ', all releases');

  const tiles = document.getElementById('tiles');
  const tile = (id, value, label) => tiles.append($('div', { class: 'tile', id }, $('b', {}, value), $('span', {}, label)));
  const s = summary.shares;
  tile('runs', summary.runs, 'runs uploaded a log');
  tile('outage', percent(s.outage.share), 'met an outage');
  tile('renewal', percent(s.renewal.share), 'renewed the link');
  tile('signInPage', percent(s.signInPage.share), 'met a sign-in page');
  tile('fullDisk', percent(s.fullDisk.share), 'had a full disk');
  tile('unreadable', summary.unreadable.length, 'unreadable uploads');

  // Every day of the window, also those without runs.
  const counts = new Map(summary.days.map((d) => [d.day, d.runs]));
  const days = [];
  if (w.since && w.until) {
    for (let t = Date.parse(w.since.slice(0, 10)); t <= Date.parse(w.until.slice(0, 10)); t += DAY) {
      const day = new Date(t).toISOString().slice(0, 10);
      days.push({ day, runs: counts.get(day) || 0 });
    }
  } else {
    days.push(...summary.days);
  }
  const max = Math.max(1, ...days.map((d) => d.runs));
  const width = 1000;
  const height = 190;
  const slot = width / Math.max(1, days.length);
  const NS = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(NS, 'svg');
  svg.setAttribute('viewBox', '0 0 ' + width + ' ' + (height + 40));
  svg.setAttribute('width', '100%');
  const add = (parent, tag, attrs, text) => {
    const e = document.createElementNS(NS, tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    parent.append(e);
    return e;
  };
  add(svg, 'line', { x1: 0, x2: width, y1: height, y2: height, stroke: '#c5ccd6' });
  days.forEach((d, i) => {
    const h = Math.round((d.runs / max) * (height - 24));
    const g = add(svg, 'g', { class: 'day', 'data-day': d.day, 'data-runs': d.runs });
    add(g, 'rect', { x: i * slot + slot * 0.15, y: height - h, width: slot * 0.7, height: h, fill: '#3b6ea8', rx: 2 });
    add(g, 'text', { class: 'value', x: i * slot + slot / 2, y: height - h - 5, 'text-anchor': 'middle' }, d.runs);
    if (days.length <= 31 || i % Math.ceil(days.length / 31) === 0) {
      add(g, 'text', { x: i * slot + slot / 2, y: height + 16, 'text-anchor': 'middle' }, d.day.slice(5));
    }
  });
  document.getElementById('chart').append(svg);

  const steps = document.getElementById('steps');
  for (const [step, n] of Object.entries(summary.steps)) {
    const sh = summary.runs ? n / summary.runs : 0;
    steps.append($('tr', { 'data-step': step }, $('td', {}, step), $('td', { class: 'n' }, n),
      $('td', { class: 'n' }, percent(sh)), $('td', {}, bar(sh))));
  }

  const causes = document.getElementById('causes');
  for (const c of summary.causes) {
    const examples = $('details', {}, $('summary', {}, c.examples.length + ' example record' + (c.examples.length === 1 ? '' : 's')));
    for (const x of c.examples) {
      const r = x.record || {};
      examples.append($('div', { class: 'example' },
        x.time.replace('T', ' ').slice(0, 19) + '  computer ' + x.computer + '  ' + x.release + '\n' +
        (r.message !== undefined ? r.message + (r.detailed_message ? '\n' + r.detailed_message : '') +
          '\nerror ' + r.error_number + ', ' + r.file + ':' + r.line : '(empty log)')));
    }
    if (c.examples.length) examples.open = true;
    causes.append($('tr', { class: 'cause', 'data-cause': c.cause },
      $('td', {}, $('div', {}, c.cause), examples), $('td', { class: 'n runs' }, c.runs),
      $('td', { class: 'n share' }, percent(c.share)), $('td', {}, bar(c.share))));
  }
  if (!summary.causes.length) causes.append($('tr', {}, $('td', { colspan: 4, class: 'muted' }, 'No runs in this window.')));

  const errors = document.getElementById('errors');
  for (const e of summary.errors) {
    errors.append($('tr', { class: 'error', 'data-code': e.code }, $('td', {}, e.code + (e.name ? ' ' + e.name : '')),
      $('td', {}, e.text), $('td', { class: 'n' }, e.runs), $('td', { class: 'n' }, e.records)));
  }
  const hosts = document.getElementById('hosts');
  for (const h of summary.hosts) hosts.append($('tr', { class: 'host' }, $('td', {}, h.host), $('td', { class: 'n' }, h.runs)));
  const unreadable = document.getElementById('unreadable-list');
  for (const u of summary.unreadable) unreadable.append($('li', {}, u.upload + ': ' + u.reason));
  document.body.setAttribute('data-drawn', 'yes');
}

function escapeJson(value) {
  // Nothing in the embedded text may end the script element or be read as markup.
  return JSON.stringify(value).replace(/</g, '\\u003c').replace(/>/g, '\\u003e').replace(/&/g, '\\u0026')
    .replace(/\u2028/g, '\\u2028').replace(/\u2029/g, '\\u2029');
}

function renderPage(summary) {
  return `<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>Velmot download manager: uploaded logs</title>
<style>${STYLE}</style>
</head>
<body>
<header><h1>Why downloads failed</h1><p id="window"></p></header>
<main>
<section class="wide"><div class="tiles" id="tiles"></div></section>
<section class="wide"><h2>Runs per day</h2><div id="chart"></div></section>
<section><h2>Step the runs ended in</h2><table class="steps"><thead><tr><th>step</th><th>runs</th><th>share</th><th></th></tr></thead><tbody id="steps"></tbody></table></section>
<section><h2>Hosts involved</h2><table><thead><tr><th>host</th><th>runs</th></tr></thead><tbody id="hosts"></tbody></table>
<h2 style="margin-top:14px">Unreadable uploads</h2><ul id="unreadable-list" class="muted"></ul></section>
<section class="wide"><h2>Causes</h2><table><thead><tr><th>cause</th><th>runs</th><th>share</th><th></th></tr></thead><tbody id="causes"></tbody></table></section>
<section class="wide"><h2>Top errors</h2><table><thead><tr><th>code</th><th>text</th><th>runs</th><th>records</th></tr></thead><tbody id="errors"></tbody></table></section>
</main>
<script type="application/json" id="summary">${escapeJson(summary)}</script>
<script>(${draw.toString()})();</script>
</body>
</html>
`;
}

module.exports = { renderPage };
