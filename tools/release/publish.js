'use strict';
// Uploads a planned release (release.js) to a blob container: the parts, several at a
// time, then the CRC info document, so that a release is listed only once all its parts
// are there; then reads everything back and checks it against the document.
const crypto = require('crypto');
const path = require('path');
const { createRequire } = require('module');
const { readPart, crc32, signed } = require('./release');

// The storage client library calls the global Web Crypto object (request ids), which
// Node 18, Debian 12's node, does not put in the global scope yet; node's own is the same.
if (!globalThis.crypto) globalThis.crypto = crypto.webcrypto;

// The storage client library is pinned with the test servers' packages (one lock file).
const requireServers = createRequire(path.join(__dirname, '..', '..', 'tests', 'servers', 'package.json'));

const CONCURRENCY = 4;

// A container client from a connection string (with --container) or a container SAS URL.
function openContainer(target, containerName) {
  const { BlobServiceClient, ContainerClient } = requireServers('@azure/storage-blob');
  if (/^https?:\/\//i.test(target)) {
    if (containerName) throw new Error('--container goes with a connection string, not with a container URL');
    return { container: new ContainerClient(target), create: false };
  }
  if (!/AccountName=|UseDevelopmentStorage=/i.test(target)) {
    throw new Error('--to takes a connection string or a container SAS URL (https://...)');
  }
  if (!containerName) throw new Error('a connection string needs --container NAME');
  return { container: BlobServiceClient.fromConnectionString(target).getContainerClient(containerName), create: true };
}

function human(bytes) {
  if (bytes >= 1e9) return (bytes / 1e9).toFixed(2) + ' GB';
  if (bytes >= 1e6) return (bytes / 1e6).toFixed(1) + ' MB';
  if (bytes >= 1e3) return (bytes / 1e3).toFixed(1) + ' kB';
  return bytes + ' B';
}

// A one-line progress bar on a terminal (bytes, speed); on anything else one line per
// finished blob, so that logs stay readable.
class Progress {
  constructor(total, out) {
    this.total = total;
    this.done = 0;
    this.inFlight = new Map();
    this.out = out;
    this.tty = Boolean(out.isTTY);
    this.started = Date.now();
    this.lastDraw = 0;
  }
  sent() {
    let n = this.done;
    for (const v of this.inFlight.values()) n += v;
    return n;
  }
  speed() {
    const seconds = (Date.now() - this.started) / 1000;
    return seconds > 0 ? this.sent() / seconds : 0;
  }
  update(name, bytes) {
    this.inFlight.set(name, bytes);
    this.draw(false);
  }
  finish(name, size, what) {
    this.inFlight.delete(name);
    this.done += size;
    if (!this.tty) this.out.write('  ' + what + ' ' + name + ' (' + human(size) + ')\n');
    this.draw(true);
  }
  draw(force) {
    if (!this.tty) return;
    const now = Date.now();
    if (!force && now - this.lastDraw < 100) return;
    this.lastDraw = now;
    const sent = this.sent();
    const width = 30;
    const filled = this.total > 0 ? Math.round(width * sent / this.total) : width;
    this.out.write('\r[' + '#'.repeat(filled) + ' '.repeat(width - filled) + '] ' + human(sent) + ' / ' +
      human(this.total) + '  ' + human(this.speed()) + '/s   ');
  }
  end() {
    if (this.tty) this.out.write('\n');
  }
}

// Runs jobs with at most `limit` of them at once; resolves with their results in order.
async function pool(items, limit, job) {
  const results = new Array(items.length);
  let next = 0;
  async function worker() {
    while (next < items.length) {
      const i = next++;
      results[i] = await job(items[i], i);
    }
  }
  await Promise.all(Array.from({ length: Math.min(limit, items.length) }, worker));
  return results;
}

// The blob is already there with the same bytes: same length and the same Content-MD5.
async function alreadyThere(blob, size, md5) {
  try {
    const props = await blob.getProperties();
    return props.contentLength === size && props.contentMD5 !== undefined &&
      Buffer.from(props.contentMD5).equals(md5);
  } catch (e) {
    if (e.statusCode === 404) return false;
    throw e;
  }
}

async function uploadOne(container, blobName, bytes, md5, progress) {
  const blob = container.getBlockBlobClient(blobName);
  if (await alreadyThere(blob, bytes.length, md5)) {
    progress.finish(blobName, bytes.length, 'already there:');
    return false;
  }
  await blob.upload(bytes, bytes.length, {
    blobHTTPHeaders: { blobContentType: 'application/octet-stream', blobContentMD5: md5 },
    onProgress: (p) => progress.update(blobName, p.loadedBytes),
  });
  progress.finish(blobName, bytes.length, 'uploaded:');
  return true;
}

// Reads every part and the document back; returns the differences found (texts).
async function verify(container, plan, blobPath, out) {
  const problems = [];
  const parts = plan.files.flatMap((f) => f.parts);
  await pool(parts, CONCURRENCY, async (part) => {
    const name = blobPath(part.blobName);
    try {
      const bytes = await container.getBlockBlobClient(name).downloadToBuffer();
      const crc = signed(crc32(bytes));
      if (bytes.length !== part.size) problems.push(name + ': ' + bytes.length + ' bytes read back, ' + part.size + ' expected');
      else if (crc !== part.crc) problems.push(name + ': CRC ' + crc + ' read back, ' + part.crc + ' in the document');
    } catch (e) {
      problems.push(name + ': cannot be read back (' + (e.statusCode || e.code || e.message) + ')');
    }
  });
  const docName = blobPath(plan.documentName);
  try {
    const doc = await container.getBlockBlobClient(docName).downloadToBuffer();
    if (!doc.equals(plan.document)) problems.push(docName + ': the document read back differs from the one written');
  } catch (e) {
    problems.push(docName + ': cannot be read back (' + (e.statusCode || e.code || e.message) + ')');
  }
  out.write('read back ' + parts.length + ' parts and the document: ' +
    (problems.length ? problems.length + ' difference(s)' : 'all as listed') + '\n');
  return problems;
}

// Uploads and checks a release; returns {uploaded, skipped, problems}.
async function publish(plan, options) {
  const out = options.out || process.stdout;
  const prefix = options.prefix || '';
  const blobPath = (name) => (prefix ? prefix + '/' : '') + name;
  const { container, create } = openContainer(options.to, options.container);
  if (create) await container.createIfNotExists();

  const parts = plan.files.flatMap((f) => f.parts);
  const total = parts.reduce((n, p) => n + p.size, 0) + plan.document.length;
  const progress = new Progress(total, out);
  const uploaded = await pool(parts, options.concurrency || CONCURRENCY, (part) =>
    uploadOne(container, blobPath(part.blobName), readPart(part), part.md5, progress));
  // Last: until the document is there, customers see no release (or the previous one).
  const docMd5 = crypto.createHash('md5').update(plan.document).digest();
  const docUploaded = await uploadOne(container, blobPath(plan.documentName), plan.document, docMd5, progress);
  progress.end();
  const count = uploaded.filter(Boolean).length + (docUploaded ? 1 : 0);
  out.write('uploaded ' + count + ' blob(s), ' + (parts.length + 1 - count) + ' already there, in ' +
    ((Date.now() - progress.started) / 1000).toFixed(1) + ' s\n');
  const problems = await verify(container, plan, blobPath, out);
  return { uploaded: count, skipped: parts.length + 1 - count, problems };
}

module.exports = { publish, verify, openContainer, human };
