'use strict';
// A slow lane in front of a server, for the demo: a TCP relay that passes every connection
// through to the target unchanged (TLS included, so the target's certificate is what the
// client sees) and sends the answers at about --rate bytes per second per connection.
//
//   node throttle.js --pool 120-180 --port 443 --to 127.0.0.M --rate 5000000 --ready FILE
// It listens on the first free 127.0.0.K of the pool and writes that address to FILE.
const net = require('net');
const { parseArgs } = require('./args');
const { writeAtomically, listenFirstFree } = require('./listen');

const args = parseArgs(process.argv.slice(2));
const port = Number(args.port || 443);
const rate = Math.max(1, Number(args.rate) || 1);
const TICK_MS = 50;

const server = net.createServer((client) => {
  const upstream = net.connect(port, args.to);
  client.on('error', () => upstream.destroy());
  upstream.on('error', () => client.destroy());
  client.on('close', () => upstream.destroy());
  upstream.on('close', () => client.end());
  client.pipe(upstream);

  // Answers go out in slices of rate/20 bytes every 50 ms.
  const queue = [];
  let ended = false;
  const timer = setInterval(() => {
    let budget = Math.ceil(rate * TICK_MS / 1000);
    while (budget > 0 && queue.length) {
      const head = queue[0];
      const slice = head.subarray(0, budget);
      client.write(slice);
      budget -= slice.length;
      if (slice.length === head.length) queue.shift();
      else queue[0] = head.subarray(slice.length);
    }
    if (queue.length < 4) upstream.resume();
    if (ended && !queue.length) {
      clearInterval(timer);
      client.end();
    }
  }, TICK_MS);
  upstream.on('data', (chunk) => {
    queue.push(chunk);
    if (queue.length >= 4) upstream.pause();
  });
  upstream.on('end', () => { ended = true; });
  client.on('close', () => clearInterval(timer));
});
listenFirstFree(server, { name: 'throttle', port, pool: args.pool }, (address) => {
  writeAtomically(args.ready, address + '\n');
  console.log('throttle: ' + address + ':' + port + ' -> ' + args.to + ':' + port + ' at ' + rate + ' B/s');
  process.on('SIGTERM', () => process.exit(0));
});
