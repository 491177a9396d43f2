// The baseline of the streaming benchmark: the official JavaScript Centrifugo client
// subscribed to one channel of tolbu-sim while the sim publishes a series of candles.
//   node bench_peer.js PORT TOKEN CHANNEL COUNT RATE
// Prints one JSON line: {"count", "elapsed_ms", "p50_us", "p99_us", "max_us"}.

const { Centrifuge } = require('centrifuge');
const WebSocket = require('ws');

const [port, token, channel, countText, rateText] = process.argv.slice(2);
const count = Number(countText);
const rate = Number(rateText);
const base = `http://127.0.0.1:${port}`;
const nowUs = () => (performance.timeOrigin + performance.now()) * 1000;
setTimeout(() => { console.log(JSON.stringify({ error: 'timeout', received })); process.exit(2); },
           120000);

const latencies = new Float64Array(count);
let received = 0;
let started = 0;

const client = new Centrifuge(`ws://127.0.0.1:${port}/connection/websocket`,
                              { websocket: WebSocket, token });
const sub = client.newSubscription(channel);
sub.on('subscribed', async () => {
  started = performance.now();
  const r = await fetch(`${base}/_sim/streaming/series`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ channel, count, rate }),
  });
  if (r.status !== 200) { console.log(JSON.stringify({ error: 'series ' + r.status })); process.exit(1); }
});
sub.on('publication', (ctx) => {
  const d = ctx.data;
  if (typeof d.open !== 'number' || typeof d.close !== 'number') return;  // read it as a candle
  latencies[received++] = nowUs() - d.volume;
  if (received === count) {
    const elapsed = performance.now() - started;
    const sorted = Array.from(latencies).sort((a, b) => a - b);
    const pick = (q) => sorted[Math.min(count - 1, Math.floor(q * count))];
    console.log(JSON.stringify({ count, elapsed_ms: elapsed, p50_us: pick(0.5), p99_us: pick(0.99),
                                 max_us: sorted[count - 1] }));
    client.disconnect();
    process.exit(0);
  }
});
sub.subscribe();
client.connect();
