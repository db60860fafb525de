'use strict';
// A company proxy for the tests: plain HTTP on one loopback address, CONNECT only, that
// wants a Basic sign-in. A CONNECT without the right Proxy-Authorization gets 407 with
// "Proxy-Authenticate: Basic" on a connection kept open (so that the client may ask again on
// it); one with it gets "200 Connection established" and the tunnel to the target. Any
// other method gets 405. Every CONNECT is logged as a JSON line
//   {"target": "host:port", "auth": "none" | "good" | "bad", "user": "...", "connection": N}
// in --log; the address it listens on goes to --ready when it does. The JSON file --control,
// read at each CONNECT, may hold {"free": ["host:port", ...]}: targets that pass without a
// sign-in.
//
//   node proxy.js --host 127.0.0.X --port N --user NAME --password TEXT --log FILE
//                 --control FILE --ready FILE
const fs = require('fs');
const net = require('net');
const { parseArgs } = require('./args');
const { orElse, writeAtomically, parseHead } = require('./listen');

const args = parseArgs(process.argv.slice(2));
const expected = 'Basic ' + Buffer.from(args.user + ':' + args.password).toString('base64');
let connections = 0;

const log = (entry) => fs.appendFileSync(args.log, JSON.stringify(entry) + '\n');

const freeTargets = () => orElse(() => JSON.parse(fs.readFileSync(args.control, 'utf8')).free || [], []);

function answer(socket, status, reason, extra) {
  socket.write(`HTTP/1.1 ${status} ${reason}\r\n${extra || ''}Content-Length: 0\r\n\r\n`);
}

function tunnel(client, target, rest) {
  const colon = target.lastIndexOf(':');
  // Both address families, as a real proxy tries them: Node 18 (Debian 12's) takes the
  // first address the resolver gives, and "localhost" gives ::1 first there, where the test
  // web service does not listen.
  const upstream = net.connect({ port: Number(target.slice(colon + 1)), host: target.slice(0, colon), autoSelectFamily: true }, () => {
    client.write('HTTP/1.1 200 Connection established\r\n\r\n');
    if (rest.length) upstream.write(rest);
    client.pipe(upstream);
    upstream.pipe(client);
  });
  upstream.on('error', () => client.destroy());
  client.on('error', () => upstream.destroy());
  client.on('close', () => upstream.destroy());
}

function serve(client) {
  const connection = ++connections;
  let pending = Buffer.alloc(0);
  const onData = (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    for (;;) {
      const end = pending.indexOf('\r\n\r\n');
      if (end < 0) return;
      const head = parseHead(pending.slice(0, end).toString('latin1'));
      pending = pending.slice(end + 4);
      if (!head || head.method !== 'CONNECT') {
        answer(client, 405, 'Method Not Allowed', 'Connection: close\r\n');
        client.end();
        return;
      }
      const given = head.headers['proxy-authorization'];
      const user = given && given.startsWith('Basic ')
        ? Buffer.from(given.slice(6), 'base64').toString('utf8').split(':')[0] : '';
      const auth = !given ? 'none' : given === expected ? 'good' : 'bad';
      log({ target: head.target, auth, user, connection });
      if (auth !== 'good' && !freeTargets().includes(head.target)) {
        answer(client, 407, 'Proxy Authentication Required',
               'Proxy-Authenticate: Basic realm="Velmot test proxy"\r\n');
        continue;
      }
      client.removeListener('data', onData);
      client.pause();  // what comes before the tunnel stands waits for it
      tunnel(client, head.target, pending);
      return;
    }
  };
  client.on('data', onData);
  client.on('error', () => {});
}

const server = net.createServer(serve);
server.listen(Number(args.port), args.host, () => {
  writeAtomically(args.ready, `${args.host}:${server.address().port}\n`);
});
process.on('SIGTERM', () => process.exit(0));
