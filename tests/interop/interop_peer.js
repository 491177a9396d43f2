// The official JavaScript Centrifugo client against tolbu-sim: connect with the token,
// subscribe, receive a publication from the sim, publish one itself, unsubscribe, and be
// refused with a wrong token. One line per step on stdout; exit code 0 when all went well.
//   node interop_peer.js PORT TOKEN CHANNEL
// With a fourth argument "recover" (the sim run with --token-ttl): tokens come from the sim
// with a 2 s lifetime; the connection is dropped, the sim publishes while the client is
// away, and the client recovers those publications on resubscribing.

const { Centrifuge } = require('centrifuge');
const WebSocket = require('ws');

const [port, token, channel, mode] = process.argv.slice(2);
const url = `ws://127.0.0.1:${port}/connection/websocket`;
const base = `http://127.0.0.1:${port}`;
const say = (...parts) => console.log(parts.join(' '));
const fail = (why) => { say('FAILED', why); process.exit(1); };
setTimeout(() => fail('timeout'), 15000);

async function stats() {
  const r = await fetch(`${base}/_sim/streaming/stats`);
  return (await r.json()).subscribers[channel] || 0;
}

function refusedWithWrongToken() {
  return new Promise((resolve) => {
    const c = new Centrifuge(url, { websocket: WebSocket, token: token + '-wrong' });
    c.on('disconnected', (ctx) => { say('refused', ctx.code, ctx.reason); resolve(); });
    c.connect();
  });
}

async function simPost(path, body) {
  const r = await fetch(`${base}${path}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  if (r.status !== 200) fail(`${path} answered ${r.status}`);
  return r.json();
}

function recoverAndRefresh() {
  let tokens = 0;
  const getToken = async () => {
    tokens += 1;
    return (await simPost('/_sim/streaming/token', { ttl_ms: 2000 })).token;
  };
  const c = new Centrifuge(url, { websocket: WebSocket, getToken, minReconnectDelay: 300 });
  const seen = [];
  let dropped = false;
  c.on('connected', () => say('connected'));
  c.on('connecting', async (ctx) => {
    if (!dropped) return;
    say('connecting', ctx.code);
    await simPost('/_sim/streaming/publish', { channel, data: { n: 2 } });
    await simPost('/_sim/streaming/publish', { channel, data: { n: 3 } });
  });
  const s = c.newSubscription(channel);
  s.on('subscribed', async (ctx) => {
    say('subscribed', channel, 'wasRecovering', ctx.wasRecovering, 'recovered', ctx.recovered);
    if (!ctx.wasRecovering) await simPost('/_sim/streaming/publish', { channel, data: { n: 1 } });
  });
  s.on('publication', async (ctx) => {
    seen.push(ctx.data.n);
    say('publication', JSON.stringify(ctx.data));
    if (ctx.data.n === 1) {
      dropped = true;
      await simPost('/_sim/streaming/drop', { code: 3001, reason: 'shutdown' });
    }
    if (seen.length === 3) {
      say('received', seen.join(' '));
      // Outlive the first token and the sim's grace after it: only a refresh (a getToken
      // call beyond the first) keeps the connection.
      setTimeout(() => {
        say('tokens', tokens, 'state', c.state);
        const ok = seen.join(' ') === '1 2 3' && c.state === 'connected';
        c.disconnect();
        process.exit(ok ? 0 : 1);
      }, 5000);
    }
  });
  s.subscribe();
  c.connect();
}

if (mode === 'recover') {
  recoverAndRefresh();
  return;
}

const client = new Centrifuge(url, { websocket: WebSocket, token });
client.on('connected', (ctx) => say('connected', ctx.transport));
client.on('error', (ctx) => say('error', JSON.stringify(ctx.error)));

const sub = client.newSubscription(channel);
sub.on('subscribed', async () => {
  say('subscribed', channel);
  const r = await fetch(`${base}/_sim/streaming/publish`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ channel, data: { from: 'sim', n: 1 } }),
  });
  if (r.status !== 200) fail('publish endpoint answered ' + r.status);
});
sub.on('publication', async (ctx) => {
  say('publication', JSON.stringify(ctx.data));
  if (ctx.data.from === 'sim') {
    await client.publish(channel, { from: 'js', n: 2 });
  } else if (ctx.data.from === 'js') {
    sub.unsubscribe();
  }
});
sub.on('unsubscribed', async (ctx) => {
  say('unsubscribed', ctx.code);
  say('subscribers', await stats());
  client.disconnect();
  await refusedWithWrongToken();
  process.exit(0);
});
sub.subscribe();
client.connect();
