'use strict';
// What the test servers share: their start-up (the address they bind, the ready file, the
// stop), the reading of a request's head and a fallback for reads that may fail.
const fs = require('fs');

// fn's value, or `fallback` when it throws.
function orElse(fn, fallback) {
  try {
    return fn();
  } catch (e) {
    return fallback;
  }
}

// Readers never see a half-written file.
function writeAtomically(file, text) {
  fs.writeFileSync(file + '.tmp', text);
  fs.renameSync(file + '.tmp', file);
}

// "FIRST-LAST" as 127.0.0.FIRST to 127.0.0.LAST, from 127.0.0.`prefer` on (when it is one).
function poolAddresses(spec, prefer) {
  const [first, last] = String(spec).split('-').map(Number);
  const all = [];
  for (let n = first; n <= last; n++) all.push('127.0.0.' + n);
  const start = Math.max(0, all.indexOf('127.0.0.' + prefer));
  return all.slice(start).concat(all.slice(0, start));
}

// Listens on `port` (default 443) of `listen` when given, else of the first address of the
// pool (poolAddresses) whose listen fails with none of the codes `taken`, trying them in turn
// with the one server (node lets a server listen again after a failed try); exits 2 with
// "NAME: ..." when none is left or another error comes. onListening(address) runs once, when
// the server listens, with no listener of the tries left on it.
function listenFirstFree(server, { name, port, listen, pool, prefer, taken = ['EADDRINUSE', 'EADDRNOTAVAIL'] },
                         onListening) {
  const addresses = listen ? [listen] : poolAddresses(pool, prefer);
  function tryListen(i) {
    if (i >= addresses.length) {
      console.error(name + ': no free address in ' + (listen || '127.0.0.' + pool));
      process.exit(2);
    }
    const listened = () => {
      server.off('error', failed);
      onListening(addresses[i]);
    };
    const failed = (e) => {
      server.off('listening', listened);
      if (taken.includes(e.code)) return tryListen(i + 1);
      console.error(name + ': ' + e.message);
      process.exit(2);
    };
    server.once('error', failed);
    server.once('listening', listened);
    server.listen(port === undefined ? 443 : Number(port), addresses[i]);
  }
  tryListen(0);
}

// A request's head (the text before its blank line): null unless the request line has a
// method, a target and HTTP/1.0 or 1.1. headers: by lower-case name, repeated ones joined
// with ", "; rawHeaders: [name as sent, value, ...]; the target split into path and query.
function parseHead(text) {
  const lines = text.split('\r\n');
  const [method, target, version] = lines[0].split(' ');
  if (!method || !target || !/^HTTP\/1\.[01]$/.test(version || '')) return null;
  const rawHeaders = [];
  const headers = {};
  for (const line of lines.slice(1)) {
    const colon = line.indexOf(':');
    if (colon <= 0) continue;
    const name = line.slice(0, colon);
    const value = line.slice(colon + 1).trim();
    rawHeaders.push(name, value);
    const lower = name.toLowerCase();
    headers[lower] = lower in headers ? headers[lower] + ', ' + value : value;
  }
  const q = target.indexOf('?');
  const [pathPart, query] = q < 0 ? [target, ''] : [target.slice(0, q), target.slice(q + 1)];
  return { method, version, target, path: pathPart, query, headers, rawHeaders };
}

// Raw TCP sockets of TLS servers by the client's port, so that a request can be answered
// with a TCP reset (the TLS socket itself cannot be reset from node).
class RawSockets {
  constructor() {
    this.byPort = new Map();
  }
  watch(server) {
    server.on('connection', (socket) => {
      const key = socket.remotePort;
      this.byPort.set(key, socket);
      socket.on('close', () => this.byPort.get(key) === socket && this.byPort.delete(key));
    });
    server.on('tlsClientError', () => {});
    return server;
  }
  of(socket) {
    return this.byPort.get(socket.remotePort);
  }
  reset(socket) {
    const raw = this.of(socket);
    if (raw && typeof raw.resetAndDestroy === 'function') raw.resetAndDestroy();
    else socket.destroy();
  }
}

// SIGTERM and SIGINT close the server and end the process with code 0.
function stopOnSignals(server) {
  const stop = () => {
    server.close();
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

module.exports = { orElse, writeAtomically, poolAddresses, listenFirstFree, parseHead, RawSockets, stopOnSignals };
