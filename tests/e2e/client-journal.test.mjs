// The page's connection journal, loaded straight from the page's folder: it
// has no browser dependencies, so its numbering rules are checked here alone.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { ClientJournal, MAX_KEPT, MAX_PER_MSG } from '../../client/client-journal.js';

const clock = () => { let t = 1000; const now = () => t; now.advance = (ms) => { t += ms; }; return now; };
const ns = (msg) => msg.events.map((e) => e.n);

test('events are numbered from 1 and timed from the journal start', () => {
  const now = clock();
  const j = new ClientJournal(now);
  j.add('attempt', { a: 1 });
  now.advance(250.4);
  j.add('joined', { cid: 7 });
  const msg = j.message({ att: 1 });
  assert.equal(msg.t, 'conn');
  assert.equal(msg.att, 1);
  assert.deepEqual(msg.events, [{ a: 1, n: 1, ev: 'attempt', ms: 0 }, { cid: 7, n: 2, ev: 'joined', ms: 250 }]);
  // The text carries the kind the computer looks for, and no event has a "t" of its own.
  assert.ok(JSON.stringify(msg).startsWith('{"t":"conn",'));
});

test('fields cannot override the number, the name or the time', () => {
  const j = new ClientJournal(clock());
  const e = j.add('ice', { n: 99, ev: 'forged', ms: -5, state: 'checking' });
  assert.deepEqual([e.n, e.ev, e.ms, e.state], [1, 'ice', 0, 'checking']);
});

test('acknowledged events are dropped, the rest is sent again', () => {
  const j = new ClientJournal(clock());
  for (const ev of ['a', 'b', 'c', 'd']) j.add(ev);
  assert.deepEqual(ns(j.message()), [1, 2, 3, 4]);
  assert.deepEqual(ns(j.message()), [1, 2, 3, 4], 'unacknowledged: the same numbers again');
  assert.equal(j.ack(2), true);
  assert.deepEqual(ns(j.message()), [3, 4]);
  assert.equal(j.ack(2), false, 'an old acknowledgement changes nothing');
  j.add('e');
  assert.deepEqual(ns(j.message()), [3, 4, 5]);
  assert.equal(j.ack(9), true, 'beyond the last number: everything');
  assert.equal(j.pending, 0);
  assert.equal(j.message(), null);
});

test('acknowledgements that are not counts are ignored', () => {
  const j = new ClientJournal(clock());
  j.add('a'); j.add('b');
  for (const bad of ['2', 1.5, -1, 0, null, undefined, NaN, Infinity, {}, [2]]) assert.equal(j.ack(bad), false, String(bad));
  assert.equal(j.pending, 2);
});

test('a new session numbers what is pending from 1 again', () => {
  const j = new ClientJournal(clock());
  for (const ev of ['a', 'b', 'c']) j.add(ev);
  j.ack(1);
  j.renumber();
  assert.deepEqual(j.message().events.map((e) => [e.n, e.ev]), [[1, 'b'], [2, 'c']]);
  j.add('joined');
  assert.deepEqual(ns(j.message()), [1, 2, 3]);
  // An empty journal starts at 1 too.
  j.ack(3);
  j.renumber();
  assert.equal(j.add('x').n, 1);
});

test('the journal is bounded: old events go first and the loss is reported', () => {
  const j = new ClientJournal(clock());
  for (let i = 0; i < MAX_KEPT + 5; i++) j.add('e' + i);
  assert.equal(j.pending, MAX_KEPT);
  const msg = j.message();
  assert.equal(msg.dropped, 5);
  assert.equal(msg.events.length, MAX_PER_MSG, 'one message carries a bounded slice');
  assert.equal(msg.events[0].ev, 'e5');
  // Acknowledging the first slice brings the next.
  j.ack(msg.events[MAX_PER_MSG - 1].n);
  assert.equal(j.message().events[0].ev, 'e' + (5 + MAX_PER_MSG));
});
