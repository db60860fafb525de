'use strict';
// The file host's per-namespace control files, written by the tests (tests/support/
// testservers.cpp) and read back here on every request:
//   <ns>/.velmot/query                 the exact query string every request must carry
//   <ns>/.velmot/behaviour/<key>.json  misbehaviour of one object (key: see behaviourKey)
//   <ns>/.velmot/requests.jsonl        the host's log of the namespace's requests, one line
//                                      per request as it arrives
//   <ns>/.velmot/answers.jsonl         what the host answered to each of those requests, one
//                                      line per request once its answer has ended:
//     {time (the request's, as in requests.jsonl), end, method, path, decodedPath,
//      range, ifMatch (the request's headers, or null), status (0: reset or garbage, no
//      HTTP answer), etag (sent, or null), objectLength (the whole object's, or null),
//      start (the object byte the body begins at: 0 for a 200, N for a 206; null when the
//      body is not the object's bytes), length (body bytes announced), sent (body bytes
//      written before the answer ended or the client went), complete (the whole answer
//      went out), corruptAt (object byte flipped, when one was), refused / reset / garbage}
//   <ns>/.velmot/down                  {"untilMs": T}: the host is "unreachable" for the
//                                      namespace until T (ms since 1970)
const fs = require('fs');
const path = require('path');

const CONTROL_DIR = '.velmot';

const isSafeName = (name) => /^[A-Za-z0-9_-][A-Za-z0-9._-]*$/.test(name);

// The object's path relative to its namespace, as UTF-8 bytes, with every byte outside
// A-Z a-z 0-9 . _ - written as %XX (upper case): one flat file name per object.
function behaviourKey(relative) {
  let out = '';
  for (const byte of Buffer.from(relative, 'utf8')) {
    const c = String.fromCharCode(byte);
    out += /[A-Za-z0-9._-]/.test(c) ? c : '%' + byte.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

function readIfExists(file) {
  try {
    return fs.readFileSync(file);
  } catch (e) {
    if (e.code === 'ENOENT' || e.code === 'ENOTDIR') return null;
    throw e;
  }
}

function appendRequest(nsDir, record) {
  const dir = path.join(nsDir, CONTROL_DIR);
  fs.mkdirSync(dir, { recursive: true });
  fs.appendFileSync(path.join(dir, 'requests.jsonl'), JSON.stringify(record) + '\n');
}

// An answer ends after its request was logged, so the folder is there, unless the test has
// removed its namespace meanwhile: then the line is dropped rather than the folder made anew.
function appendAnswer(nsDir, record) {
  try {
    fs.appendFileSync(path.join(nsDir, CONTROL_DIR, 'answers.jsonl'), JSON.stringify(record) + '\n');
  } catch (e) {
    if (e.code !== 'ENOENT') throw e;
  }
}

function requiredQuery(nsDir) {
  const bytes = readIfExists(path.join(nsDir, CONTROL_DIR, 'query'));
  return bytes === null ? null : bytes.toString('utf8');
}

// True while the namespace's down window lasts: its requests get their connection reset.
function isDown(nsDir, now) {
  const bytes = readIfExists(path.join(nsDir, CONTROL_DIR, 'down'));
  if (bytes === null) return false;
  const value = JSON.parse(bytes.toString('utf8'));
  return typeof value.untilMs === 'number' && now < value.untilMs;
}

// Requests seen per behaviour text: a behaviour that is written anew (testservers.cpp
// stamps every write) starts counting from its first request again.
const counters = new Map();

// The step that applies to this request of the object: attempts[0], attempts[1], ...,
// then "then". A behaviour with neither list applies itself to every request. A step's
// members (see faults.js and tests/support/testservers.h):
//   status N, storageError "Code" (x-ms-error-code on that status answer), body, bodyFile,
//   corruptAt N (object byte), closeAfter / brokenAfter / stallAfter N (+ stallMs), rate N
//   (all counted in bytes of the answer's body, a 206's slice included), hugeHeaders N,
//   garbage, noLength, reset, contentType, ignoreRange (a whole 200 even to a Range),
//   etag "v" (this answer's ETag, and the one If-Match is checked against).
function nextStep(nsDir, relative) {
  const bytes = readIfExists(path.join(nsDir, CONTROL_DIR, 'behaviour', behaviourKey(relative) + '.json'));
  if (bytes === null) return {};
  const text = bytes.toString('utf8');
  const behaviour = JSON.parse(text);
  const counterKey = nsDir + '\0' + relative + '\0' + text;
  const n = counters.get(counterKey) || 0;
  counters.set(counterKey, n + 1);
  const attempts = Array.isArray(behaviour.attempts) ? behaviour.attempts : null;
  if (attempts === null && !('then' in behaviour)) return behaviour;
  if (attempts !== null && n < attempts.length) return attempts[n] || {};
  return behaviour.then || {};
}

module.exports = { CONTROL_DIR, isSafeName, behaviourKey, appendRequest, appendAnswer, requiredQuery, isDown, nextStep };
