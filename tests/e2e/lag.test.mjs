// The page's lag measures, without a browser: how late packets arrive for
// their capture time, and the queue delay reported to the host.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Lag } from '../../client/lag.js';

test('transit lateness is measured against the quickest packet of the last two windows', () => {
  const lag = new Lag(5000);
  // The host's clock runs 1e12 ms ahead of the page's; packets take 5 to 8 ms.
  const cap = (arrive, took) => arrive + 1e12 - took;
  assert.equal(lag.transit(cap(100, 5), 100), 0);
  assert.equal(lag.transit(cap(116, 8), 116), 3);
  assert.equal(lag.transit(cap(133, 5), 133), 0);
  // A packet held up 300 ms (a stalled page or network) shows it.
  assert.equal(lag.transit(cap(450, 305), 450), 300);
  // The quickest seen so far carries into the next window.
  assert.equal(lag.transit(cap(5200, 305), 5200), 300);
  assert.equal(lag.transit(cap(9000, 5), 9000), 0);
});

test('a jump of the host clock is forgotten within two windows, never for good', () => {
  const lag = new Lag(5000);
  let t = 0;
  for (; t < 3000; t += 20) lag.transit(t + 50000, t);
  // The host clock steps back one second: its packets look a second late for a while.
  assert.equal(lag.transit(t - 1000 + 50000, t), 1000);
  for (; t < 13000; t += 20) lag.transit(t - 1000 + 50000, t);
  assert.equal(lag.transit(t - 1000 + 50000, t), 0);
  // Stepping forward only makes packets look early: that becomes the new quickest at once.
  assert.equal(lag.transit(t + 3000 + 50000, t), 0);
});

test('capture times that cannot be right count as on time', () => {
  const lag = new Lag();
  lag.transit(1000, 10);
  for (const bad of [NaN, Infinity, -Infinity, 0, -5, undefined, null, '12']) assert.equal(lag.transit(bad, 20), 0, String(bad));
  assert.equal(lag.transit(1000, NaN), 0);
});

test('the queue delay is the worst since the last report, counting what still waits', () => {
  const lag = new Lag();
  assert.equal(lag.take(null, 0), 0);
  lag.shown(100, 130);
  lag.shown(140, 260);
  lag.shown(250, 270);
  assert.equal(lag.take(null, 300), 120);
  assert.equal(lag.take(null, 550), 0, 'a report starts a new window');
  // Nothing drawn, but a picture has been waiting since 400.
  assert.equal(lag.take(400, 800), 400);
  lag.shown(900, 950);
  assert.equal(lag.take(1040, 1050), 50);
  // Clock oddities never give a negative delay.
  lag.shown(2000, 1900);
  assert.equal(lag.take(3000, 2000), 0);
});
