'use strict';
// What the uploaded logs say: each report (the JSON array of error records the program
// uploads when a run does not end in a started setup) is read as one run, placed at the
// step it ended in and given a cause; the runs are then counted into one summary, the
// --json form of tools/logs (logpage.js draws the same object as a page).
//
// The program's records are matched by their source file and their fixed texts (see
// src/base/systemtexts.h): these are part of the program's interface, kept byte for byte.

const STEPS = ['request', 'CRC info document', 'parts', 'merge', 'verification', 'setup start', 'closed by the user'];
const [REQUEST, CRC_INFO, PARTS, MERGE, VERIFICATION, SETUP, CLOSED] = STEPS.map((s, i) => i);

// The program's own error numbers as the records hold them (signed 32-bit).
const PROGRAM_CODES = {
  '-32767': 'DL_MANAGER_MAX_ATTEMPTS_EXCEEDED',
  '-32766': 'DL_MANAGER_CRC_INCORRECT',
  '-32765': 'DL_MANAGER_WIN32_EXCEPTION',
  '-32764': 'DL_MANAGER_HTTP_STATUS_NOT_OK',
  '-32763': 'DL_MANAGER_ERRORS_RESOLVED',
  '-32762': 'DL_MANAGER_EXECUTABLE_MISSING',
  '-32761': 'DL_MANAGER_DELETED_OUTSIDE',
  '-32760': 'DL_MANAGER_RENAMED_OUTSIDE',
  '-32759': 'DL_MANAGER_INVALID_FILE_NAME',
  '-32758': 'DL_MANAGER_SETUP_NOT_TRUSTED',
  '-32757': 'DL_MANAGER_LINK_REFUSED',
  '-32756': 'DL_MANAGER_SIGN_IN_PAGE',
  '-32755': 'DL_MANAGER_PUBLISHED_INCONSISTENTLY',
};
const MAX_ATTEMPTS = -32767;
const LINK_REFUSED = -32757;
const SIGN_IN_PAGE = -32756;
const SYSTEM_CODES = {
  2: 'ERROR_FILE_NOT_FOUND', 3: 'ERROR_PATH_NOT_FOUND', 5: 'ERROR_ACCESS_DENIED', 8: 'ERROR_NOT_ENOUGH_MEMORY',
  13: 'ERROR_INVALID_DATA', 32: 'ERROR_SHARING_VIOLATION', 39: 'ERROR_HANDLE_DISK_FULL', 87: 'ERROR_INVALID_PARAMETER',
  112: 'ERROR_DISK_FULL', 161: 'ERROR_BAD_PATHNAME', 223: 'ERROR_FILE_TOO_LARGE',
  12002: 'ERROR_INTERNET_TIMEOUT', 12007: 'ERROR_INTERNET_NAME_NOT_RESOLVED', 12029: 'ERROR_INTERNET_CANNOT_CONNECT',
  12030: 'ERROR_INTERNET_CONNECTION_ABORTED', 12031: 'ERROR_INTERNET_CONNECTION_RESET',
  12038: 'ERROR_INTERNET_SEC_CERT_CN_INVALID', 12045: 'ERROR_INTERNET_INVALID_CA',
  12057: 'ERROR_INTERNET_SEC_CERT_REV_FAILED', 12152: 'ERROR_HTTP_INVALID_SERVER_RESPONSE',
  12175: 'ERROR_INTERNET_DECODING_FAILED',
};
const UNREACHABLE_CODES = new Set([12002, 12007, 12029, 12030, 12031]);
const FULL_DISK_CODES = new Set([39, 112]);

const RELEASE_GONE = 'This version of Velmot can no longer be downloaded.';
const GIVE_UP = 'Maximum download attempts exceeded.';

function codeName(n) {
  return PROGRAM_CODES[n] || SYSTEM_CODES[n] || '';
}

// "0xffff8001" for the program's codes, the decimal number for the others.
function codeText(n) {
  return n < 0 ? '0x' + (n >>> 0).toString(16) : String(n);
}

function baseName(file) {
  return String(file || '').split(/[\\/]/).pop();
}

// A message without what differs run to run (paths, URLs, numbers, quoted names), first
// line only, so that the same failure of many runs reads as one text.
function normalise(message) {
  return String(message).split(/\r\n|\r|\n/)[0]
    .replace(/https?:\/\/\S+/g, '<url>')
    .replace(/"[^"]*"/g, '"…"')
    // A path may hold blanks: it runs to the end of the line or to the text that follows
    // paths in the program's records.
    .replace(/(?:[A-Za-z]:[\\/]|(?<=: )\/)[^;"]*?(?=( failed| incorrect CRC| correct CRC| is listed| has \d| to save| was (deleted|renamed))|[;"]|$)/g, '<path>')
    .replace(/\b0x[0-9a-f]+\b/gi, '0x…')
    .replace(/\d+/g, 'N')
    .replace(/\s+/g, ' ')
    .trim()
    .slice(0, 160);
}

// The step a record shows the run to have reached, from where it was recorded and what it says.
function stepOf(record) {
  const file = baseName(record.file);
  const m = String(record.message);
  if (file === 'setuplauncher.cpp' || file === 'setupsignature.cpp') return SETUP;
  if (m.startsWith('CheckFileFromCRCInfo')) return VERIFICATION;
  if (file === 'downloadmanager_merge.cpp') return MERGE;
  // Part files are named "<local name>part<k>"; only the part downloads and the manager's
  // handling of them name one.
  if (/[\\/][^\\/\r\n"]*part\d+(\s|$)/.test(m) || m.startsWith("Couldn't write part file") ||
      m.startsWith('There is not enough free space on drive')) return PARTS;
  if (m.startsWith(RELEASE_GONE) || m.startsWith(GIVE_UP) ||
      /^(connection|filedownload|crcinforeader|partstore|downloadmanager(_\w+)?)\.cpp$/.test(file)) return CRC_INFO;
  return REQUEST;
}

// The web service's refusal, when the run logged an answer naming one ("error_info").
function refusalOf(record) {
  if (baseName(record.file) !== 'serviceclient.cpp' || !String(record.message).includes('"error_info"')) return null;
  try {
    const answer = JSON.parse(record.message);
    return answer && typeof answer.error_info === 'string' ? answer.error_info : null;
  } catch (e) {
    return null;
  }
}

function hostOf(record) {
  const m = String(record.message);
  let match = /^Opening connection: (\S+)/.exec(m) || /^The file host (\S+) could not be reached/.exec(m);
  if (match) return match[1].toLowerCase();
  match = /^FileUpload::ServerSettingsFromUrl: \w+:\/\/([^/:\s]+)/.exec(m);
  return match ? match[1].toLowerCase() : null;
}

// The record that ended the run, with its step and a label for the cause, or null when
// nothing in the log ends it: the window was then closed while the program worked.
function endingOf(records, reached) {
  for (let i = records.length - 1; i >= 0; i--) {
    const r = records[i];
    const m = String(r.message);
    const refusal = refusalOf(r);
    if (refusal !== null) return { record: r, step: REQUEST, label: 'refused by the web service: ' + normalise(refusal) };
    if (m.startsWith('DownloadManager::RequestDownload cancelled')) return { record: r, step: CLOSED, label: 'the request' };
    if (m.startsWith('The program\'s file name names no release')) return { record: r, step: REQUEST, label: 'the file name names no release' };
    if (m.startsWith('DownloadManager::RequestDownload the web service')) return { record: r, step: REQUEST, label: normalise(m.replace(/^DownloadManager::RequestDownload /, '')) };
    if (m.startsWith(RELEASE_GONE)) return { record: r, step: CRC_INFO, label: 'the release can no longer be downloaded' };
    if (FULL_DISK_CODES.has(r.error_number)) return { record: r, step: PARTS, label: 'not enough free disk space' };
    if (m.startsWith("Couldn't write part file")) return { record: r, step: PARTS, label: 'a part file could not be written (' + (codeName(r.error_number) || codeText(r.error_number)) + ')' };
    if (stepOf(r) === SETUP && r.error_number !== 0 && r.error_number !== -32763) {
      return { record: r, step: SETUP, label: normalise(m) };
    }
    if (r.error_number === MAX_ATTEMPTS) {
      const why = dominantError(records);
      return { record: why || r, step: Math.min(reached, VERIFICATION), label: 'gave up after the last pass' + (why ? ': ' + errorLabel(why) : '') };
    }
  }
  return null;
}

function errorLabel(record) {
  const name = codeName(record.error_number);
  const text = normalise(record.message);
  return (name ? name + ', ' : '') + (text.length > 100 ? text.slice(0, 99) + '…' : text);
}

// The most frequent non-zero code of a run (its first record of that code), leaving out
// the give-up record itself and the closing notes.
function dominantError(records) {
  const counts = new Map();
  for (const r of records) {
    if (r.error_number === 0 || r.error_number === MAX_ATTEMPTS) continue;
    const c = counts.get(r.error_number);
    if (c) c.n++;
    else counts.set(r.error_number, { n: 1, record: r });
  }
  let best = null;
  for (const c of counts.values()) if (!best || c.n > best.n) best = c;
  return best ? best.record : null;
}

function analyseRun(records) {
  let reached = REQUEST;
  const hosts = new Set();
  const flags = { outage: false, renewal: false, signInPage: false, fullDisk: false };
  for (const r of records) {
    reached = Math.max(reached, stepOf(r));
    const host = hostOf(r);
    if (host) hosts.add(host);
    const m = String(r.message);
    if (UNREACHABLE_CODES.has(r.error_number) || / could not be reached; the next try comes in /.test(m)) flags.outage = true;
    if (r.error_number === LINK_REFUSED || /^The web service gave (a|no) new download link/.test(m)) flags.renewal = true;
    if (r.error_number === SIGN_IN_PAGE) flags.signInPage = true;
    if (FULL_DISK_CODES.has(r.error_number)) flags.fullDisk = true;
  }
  const ending = endingOf(records, reached);
  let step;
  let cause;
  let decisive;
  if (ending) {
    step = ending.step;
    cause = step === CLOSED ? 'closed by the user during ' + ending.label : STEPS[step] + ': ' + ending.label;
    decisive = ending.record;
  } else {
    step = CLOSED;
    cause = 'closed by the user during ' + (reached === REQUEST ? 'the request' : STEPS[reached]);
    decisive = [...records].reverse().find((r) => r.error_number !== 0) || records[records.length - 1] || null;
  }
  return { step: STEPS[step], reached: STEPS[reached], cause, decisive, hosts: [...hosts], flags };
}

// The records of a report text; throws with a reason when it is not one.
const MEMBERS = ['detailed_message', 'error_number', 'file', 'line', 'log_index', 'message'];
function parseReport(text) {
  const doc = JSON.parse(text);
  if (!Array.isArray(doc)) throw new Error('not a JSON array');
  doc.forEach((r, i) => {
    if (!r || typeof r !== 'object' || Array.isArray(r)) throw new Error('record ' + i + ' is not an object');
    for (const key of MEMBERS) if (!(key in r)) throw new Error('record ' + i + ' lacks ' + key);
    if (!Number.isInteger(r.error_number)) throw new Error('record ' + i + ': error_number is not an integer');
  });
  return doc;
}

function share(n, total) {
  return total ? Math.round((n / total) * 10000) / 10000 : 0;
}

function byCount(map, top) {
  return [...map.entries()].sort((a, b) => b[1].runs - a[1].runs || (b[1].records || 0) - (a[1].records || 0) ||
    (a[0] < b[0] ? -1 : 1)).slice(0, top);
}

// runs: [{name, time: Date, release, computerId, records}]; unreadable: [{name, reason}].
// options: {since, until, release, fullIds, examples}.
function summarise(runs, unreadable, options = {}) {
  const shortId = (id) => (options.fullIds ? id : String(id || '').slice(0, 8));
  // Upload names carry the whole computer id.
  const shortName = (name) => (options.fullIds ? name
    : String(name).replace(/(\/\d{9}-)([A-Za-z0-9_-]{8})[A-Za-z0-9_-]*(-[0-9a-f]+\.json\.gz)$/, '$1$2…$3'));
  const perExample = options.examples || 3;
  const steps = Object.fromEntries(STEPS.map((s) => [s, 0]));
  const causes = new Map();
  const errors = new Map();
  const hosts = new Map();
  const days = new Map();
  const releases = new Map();
  const flagged = { outage: 0, renewal: 0, signInPage: 0, fullDisk: 0 };
  const sorted = [...runs].sort((a, b) => a.time - b.time || (a.name < b.name ? -1 : 1));
  for (const run of sorted) {
    const a = analyseRun(run.records);
    steps[a.step]++;
    const day = run.time.toISOString().slice(0, 10);
    days.set(day, (days.get(day) || 0) + 1);
    releases.set(run.release, (releases.get(run.release) || 0) + 1);
    for (const key of Object.keys(flagged)) if (a.flags[key]) flagged[key]++;
    for (const h of a.hosts) hosts.set(h, { runs: (hosts.has(h) ? hosts.get(h).runs : 0) + 1 });
    let c = causes.get(a.cause);
    if (!c) causes.set(a.cause, c = { runs: 0, step: a.step, examples: [] });
    c.runs++;
    if (c.examples.length < perExample) {
      c.examples.push({
        upload: shortName(run.name), time: run.time.toISOString(), release: run.release, computer: shortId(run.computerId),
        record: a.decisive ? redact(a.decisive, options.fullIds) : null,
      });
    }
    const seen = new Set();
    for (const r of run.records) {
      if (r.error_number === 0) continue;
      const key = r.error_number + '\u0000' + normalise(r.message);
      let e = errors.get(key);
      if (!e) errors.set(key, e = { runs: 0, records: 0, error_number: r.error_number, text: normalise(r.message) });
      e.records++;
      if (!seen.has(key)) e.runs++;
      seen.add(key);
    }
  }
  const total = sorted.length;
  return {
    window: { since: options.since ? options.since.toISOString() : null, until: options.until ? options.until.toISOString() : null,
      release: options.release || null },
    runs: total,
    unreadable: unreadable.map((u) => ({ upload: shortName(u.name), reason: u.reason })),
    steps,
    causes: byCount(causes, Infinity).map(([cause, c]) => ({ cause, step: c.step, runs: c.runs, share: share(c.runs, total), examples: c.examples })),
    errors: byCount(errors, options.topErrors || 10).map(([, e]) => ({
      error_number: e.error_number, code: codeText(e.error_number), name: codeName(e.error_number), text: e.text, runs: e.runs, records: e.records,
    })),
    hosts: byCount(hosts, Infinity).map(([host, h]) => ({ host, runs: h.runs })),
    shares: Object.fromEntries(Object.entries(flagged).map(([k, n]) => [k, { runs: n, share: share(n, total) }])),
    days: [...days.entries()].sort().map(([day, n]) => ({ day, runs: n })),
    releases: byCount(new Map([...releases].map(([r, n]) => [r, { runs: n }])), Infinity).map(([release, r]) => ({ release, runs: r.runs })),
  };
}

// A record for showing: user names in profile paths and computer ids are hidden, unless
// asked for.
function redact(record, keep) {
  const out = {};
  for (const key of MEMBERS) out[key] = record[key];
  if (!keep) {
    for (const key of ['message', 'detailed_message']) {
      out[key] = String(out[key]).replace(/([\\/](?:users|Documents and Settings|home)[\\/])[^\\/\r\n"]+/gi, '$1…')
        .replace(/\b([0-9a-f]{8})[0-9a-f]{32}\b/gi, '$1…');  // computer ids, as in the request's headers
    }
  }
  return out;
}

module.exports = { STEPS, analyseRun, summarise, parseReport, normalise, codeName, codeText, redact };
