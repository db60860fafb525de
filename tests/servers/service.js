'use strict';
// The reference web service: HTTPS on localhost:PORT, path "/Velmot/DownloadManager8.ashx".
//   "Method: RequestDownload"  form body DownloadManagerVersion=9%2e5&ReleaseName=...;
//                              answers the release's download descriptor as JSON
//   "Method: LogErrorInfo"     gzip body with the UTF-16LE JSON error report; checked,
//                              stored, and only then answered 200. A body over 8 MiB
//                              is refused with 413, one that is no report with 400,
//                              and neither is stored anywhere
// and, for the upload worker's tests:
//   /echo/<id>                 200 "ok"
//   /drop/<n>/<id>             the first n connections that ask for <id> are reset
//                              abruptly (TCP RST), later ones answered like /echo
// Every request is logged as a JSON line in <root>/requests.jsonl.
//
//   node service.js --root DIR --cert PEM --key PEM --port N --catalogue FILE
//                   --filehost-ready FILE --ready FILE
//                   [--blob-endpoint https://blobs-M.velmot.test/devstoreaccount1
//                    --blob-env FILE]
//                   [--uploads-dir DIR] [--uploads-to TARGET | --uploads-emulator]
//                   [--uploads-container NAME]
// Uploads go to blob storage when a TARGET is given (a connection string, or a container
// SAS URL with write rights; also from the environment as VELMOT_UPLOADS_TO, which keeps
// an account key out of the process list), or with --uploads-emulator to the emulator's
// account at --blob-endpoint; the container is "uploads" unless named. They go to the
// folder store DIR when it is given, and to <root>/uploads when no store is named at all.
// With both, an upload is answered once both hold it.
// With --blob-env it writes, before it reports ready, the blob storage emulator's
// connection string and a write token for the test set-up as shell assignments
// (VELMOT_BLOB_CONNECTION_STRING, VELMOT_BLOB_WRITE_SAS) into FILE.
const fs = require('fs');
const path = require('path');
const https = require('https');
const { parseArgs } = require('./args');
const { lookUp } = require('./catalogue');
const { buildDescriptor, refusal } = require('./descriptor');
const { checkUpload, storeInFolder, Refusal, MAX_UPLOAD } = require('./uploads');
const { orElse, writeAtomically, RawSockets, stopOnSignals } = require('./listen');

const args = parseArgs(process.argv.slice(2));
const root = path.resolve(args.root);
const port = Number(args.port);
const ENDPOINT = '/Velmot/DownloadManager8.ashx';
const VERSION = '9.5';
const MAX_BODY = 64 * 1024 * 1024;

function uploadStores() {
  const stores = [];
  const target = args['uploads-to'] || process.env.VELMOT_UPLOADS_TO ||
    (args['uploads-emulator'] ? require('./blobaccount').connectionString(args['blob-endpoint']) : '');
  if (args['uploads-emulator'] && !args['blob-endpoint']) {
    console.error('service: --uploads-emulator needs --blob-endpoint');
    process.exit(2);
  }
  if (target) {
    const { BlobUploads } = require('./blobuploads');
    const blobs = new BlobUploads(target, args['uploads-container']);
    stores.push((upload) => blobs.store(upload));
  }
  const folder = args['uploads-dir'] ? path.resolve(args['uploads-dir']) : (target ? '' : path.join(root, 'uploads'));
  if (folder) stores.push(async (upload) => storeInFolder(folder, upload.computerId, upload.text));
  return stores;
}
const stores = uploadStores();

// The releases each computer asked for lately, the latest first: the upload itself does
// not name its release. Kept in memory for at most MAX_REMEMBERED computers, the oldest
// forgotten first; a service that restarted (or another machine behind a balancer) may
// have to file an upload as of no release.
const MAX_REMEMBERED = 100000;
const RELEASES_PER_COMPUTER = 8;
const askedBy = new Map();

function rememberRelease(computerId, release) {
  if (typeof computerId !== 'string' || computerId === '') return;
  const earlier = (askedBy.get(computerId) || []).filter((r) => r !== release);
  askedBy.delete(computerId);
  askedBy.set(computerId, [release, ...earlier].slice(0, RELEASES_PER_COMPUTER));
  if (askedBy.size > MAX_REMEMBERED) askedBy.delete(askedBy.keys().next().value);
}

// Part files lie in the work folder, local application data + "/" + the release name.
const WORK_FOLDER_PART = /(?:AppData[\\/]Local|Local Settings[\\/]Application Data)[\\/]([^\\/\r\n"]+)[\\/][^\\/\r\n"]*part\d+/i;

// The release an upload belongs to. One computer may run several releases at a time, so
// the report's own evidence comes first: the work folder of its part files, then a release
// the computer asked for that the records name (a refusal quotes it), then the latest one
// it asked for.
function releaseOfUpload(computerId, text) {
  // checkUpload has parsed the text already: the fallback is a formality.
  const messages = orElse(() => JSON.parse(text).map((r) => r.message + '\n' + r.detailed_message).join('\n'), '');
  const folder = WORK_FOLDER_PART.exec(messages);
  if (folder) return folder[1];
  const asked = askedBy.get(computerId) || [];
  return asked.find((release) => messages.includes(release)) || asked[0];
}

// The largest body a request may carry: log uploads are small, everything else is bounded
// only against abuse.
const bodyLimit = (req) => (req.headers.method === 'LogErrorInfo' ? MAX_UPLOAD : MAX_BODY);

function fileHostName() {
  return orElse(() => 'files-' + fs.readFileSync(args['filehost-ready'], 'utf8').trim().split('.').pop() + '.velmot.test', '');
}

function logRequest(req, body) {
  const record = { time: new Date().toISOString(), method: req.method, path: req.url.split('?')[0], url: req.url,
    headers: req.headers, rawHeaders: req.rawHeaders, bodyBase64: body.toString('base64'), bodyLength: body.length };
  fs.appendFileSync(path.join(root, 'requests.jsonl'), JSON.stringify(record) + '\n');
}

function sendBytes(res, status, type, text) {
  const bytes = Buffer.from(text, 'utf8');
  res.writeHead(status, { 'Content-Type': type + '; charset=utf-8', 'Content-Length': bytes.length });
  res.end(bytes);
}
const sendJson = (res, status, value) => sendBytes(res, status, 'application/json', JSON.stringify(value));
const sendText = (res, status, text) => sendBytes(res, status, 'text/plain', text);

// A catalogue entry's canned answer: {"status","body"|"bodyBase64","repeat","delayMs",
// "headers","reset"} for answers a real service might give on a bad day.
function sendCanned(req, res, respond) {
  const delay = Number(respond.delayMs) || 0;
  setTimeout(() => {
    if (respond.reset) return rawSockets.reset(req.socket);
    let body = typeof respond.bodyBase64 === 'string' ? Buffer.from(respond.bodyBase64, 'base64')
      : Buffer.from(typeof respond.body === 'string' ? respond.body : '', 'utf8');
    const repeat = Number(respond.repeat) || 1;
    if (repeat > 1) body = Buffer.alloc(body.length * repeat, body);
    const headers = Object.assign({ 'Content-Type': 'application/json; charset=utf-8' }, respond.headers || {});
    headers['Content-Length'] = body.length;
    res.writeHead(Number(respond.status) || 200, headers);
    res.end(body);
  }, delay);
}

// Descriptors answered per release name in this run (for "expiredAnswers").
const answerCounts = new Map();

function requestDownload(req, res, body) {
  const form = new URLSearchParams(body.toString('latin1'));
  const version = form.get('DownloadManagerVersion');
  const release = form.get('ReleaseName');
  if (version === null) return sendJson(res, 200, refusal('Missing DownloadManagerVersion'));
  if (version !== VERSION) return sendJson(res, 200, refusal('Unsupported download manager version "' + version + '"'));
  if (release === null || release === '') return sendJson(res, 200, refusal('Missing ReleaseName'));
  rememberRelease(req.headers.computerid, release);
  const entry = lookUp(args.catalogue, path.join(root, 'catalogue.d'), release);
  if (!entry) return sendJson(res, 200, refusal('Unknown release "' + release + '"'));
  if (entry.respond && typeof entry.respond === 'object') return sendCanned(req, res, entry.respond);
  const answerIndex = answerCounts.get(release) || 0;
  answerCounts.set(release, answerIndex + 1);
  return sendJson(res, 200, buildDescriptor(entry, { fileHost: fileHostName(), blobEndpoint: args['blob-endpoint'], release, answerIndex }));
}

function logErrorInfo(req, res, body) {
  let text;
  try {
    text = checkUpload(req.headers.computerid, body);
  } catch (e) {
    if (e instanceof Refusal) return sendText(res, e.status, e.message);
    throw e;
  }
  const computerId = req.headers.computerid;
  const upload = { body, text, computerId, version: req.headers.downloadmanagerversion,
    release: releaseOfUpload(computerId, text), now: new Date() };
  Promise.all(stores.map((store) => store(upload))).then((names) => {
    sendText(res, 200, 'stored ' + names.map((n) => path.posix.basename(String(n))).join(' '));
  }, (e) => {
    // Not stored, and the answer says so: the program ignores it, but a client that
    // reads it may try again.
    console.error('service: upload not stored: ' + (e && e.message || e));
    sendText(res, 503, 'upload not stored');
  });
}

const dropCounts = new Map();

function route(req, res, body) {
  const urlPath = req.url.split('?')[0];
  if (urlPath === ENDPOINT) {
    if (req.method !== 'POST') return sendText(res, 405, 'POST only');
    const method = req.headers.method;
    if (method === 'RequestDownload') return requestDownload(req, res, body);
    if (method === 'LogErrorInfo') return logErrorInfo(req, res, body);
    return sendText(res, 400, 'unknown Method header "' + (method || '') + '"');
  }
  if (/^\/echo\/[^/]+$/.test(urlPath)) return sendText(res, 200, 'ok');
  const m = /^\/drop\/(\d+)\/([^/]+)$/.exec(urlPath);
  if (m) {
    const seen = dropCounts.get(m[2]) || 0;
    if (seen < Number(m[1])) {
      dropCounts.set(m[2], seen + 1);
      return rawSockets.reset(req.socket);
    }
    return sendText(res, 200, 'ok');
  }
  return sendText(res, 404, 'not found');
}

const server = https.createServer({ cert: fs.readFileSync(args.cert), key: fs.readFileSync(args.key) }, (req, res) => {
  // One request per connection: WinINet silently repeats a request whose reused
  // connection fails, which would hide the resets of /drop (and of "respond.reset").
  res.shouldKeepAlive = false;
  const chunks = [];
  let length = 0;
  const limit = bodyLimit(req);
  // A body over the limit is not kept; it is read to its end (up to a bound) and only then
  // answered 413, so that a client still sending gets to read the answer instead of a
  // broken connection.
  let refused = Number(req.headers['content-length']) > limit;
  req.on('data', (chunk) => {
    length += chunk.length;
    if (length > MAX_BODY) {
      if (!res.headersSent) sendText(res, 413, 'body too large');
      return req.destroy();
    }
    if (length > limit) {
      refused = true;
      chunks.length = 0;
    }
    if (!refused) chunks.push(chunk);
  });
  req.on('end', () => {
    if (refused) return sendText(res, 413, 'body too large');
    const body = Buffer.concat(chunks);
    try {
      logRequest(req, body);
      route(req, res, body);
    } catch (e) {
      console.error('service: ' + (e && e.stack || e));
      if (!res.headersSent) sendText(res, 500, 'service failure');
    }
  });
});
const rawSockets = new RawSockets();
rawSockets.watch(server);
server.keepAliveTimeout = 5000;
server.on('error', (e) => {
  console.error('service: cannot listen on localhost:' + port + ': ' + e.message);
  process.exit(2);
});
// A day: longer than any test run, short enough not to outlive a forgotten emulator by much.
const WRITE_SAS_SECONDS = 24 * 3600;

function writeBlobEnv(file) {
  const { writeSas, connectionString } = require('./blobaccount');
  const text = "VELMOT_BLOB_CONNECTION_STRING='" + connectionString(args['blob-endpoint']) + "'\n" +
    "VELMOT_BLOB_WRITE_SAS='?" + writeSas(WRITE_SAS_SECONDS) + "'\n";
  writeAtomically(file, text);
}

server.listen(port, '127.0.0.1', () => {
  if (args['blob-env']) writeBlobEnv(args['blob-env']);
  writeAtomically(args.ready, String(port) + '\n');
  console.log('service: listening on https://localhost:' + port + ENDPOINT);
  stopOnSignals(server);
});
