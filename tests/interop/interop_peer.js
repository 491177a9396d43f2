// The official JavaScript Centrifugo client against tolbu-sim: connect with the token,
// subscribe, receive a publication from the sim, publish one itself, unsubscribe, and be
// refused with a wrong token. One line per step on stdout; exit code 0 when all went well.
//   node interop_peer.js PORT TOKEN CHANNEL

const { Centrifuge } = require('centrifuge');
const WebSocket = require('ws');

const [port, token, channel] = process.argv.slice(2);
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

const client = new Centrifuge(url, { websocket: WebSocket, token });
client.on('connected', (ctx) => say('connected', ctx.transport));
client.on('error', (ctx) => say('error', JSON.stringify(ctx.error)));

const sub = client.newSubscription(channel);
sub.on('subscribed', async () => {
  say('subscribed', channel);
  const r = await fetch(`${base}/_sim/streaming/publish`, {
    method: 'POST',
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
