#!/usr/bin/env python3
"""A rolling window of sensor readings on a small device.

The device keeps the last hour of readings and asks "when did things last
look like now?". Each reading becomes a vector (four recent samples of
temperature, humidity and vibration) with its time in the metadata. Shown:

1. adding readings with a time-to-live, so that they expire by themselves;
2. purging the expired ones (clean_expired; search and count purge too);
3. deleting the oldest readings by a numeric field when the window holds
   more than the device can afford;
4. a search after each step.

Two rules of the engine shape this program:
- Ids come from a counter that only goes up: an id that was deleted or has
  expired stays hidden even if it is added again. With such a counter,
  count() is exactly the number of live readings.
- Deleting frees nothing (the vector stays in memory, the text in
  metadata.bin). A device that runs for weeks should, say once a day, open
  a fresh directory and add its live readings again.

Run it from the repository root after building the module:

    PYTHONPATH=build/python /usr/bin/python3 examples/rolling_window.py
"""

import json
import tempfile
import time

import numpy as np

import ostrel

WINDOW_SECONDS = 3600  # a reading lives for an hour
MAX_READINGS = 40  # ... but the device keeps at most this many
SAMPLES = 4  # samples per reading vector


def sensor_samples(minutes: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Simulated (temperature, humidity, vibration) samples at the given
    minutes; the machine vibrates hard for five minutes every 45."""
    temperature = 21 + 2 * np.sin(minutes / 30) + rng.normal(0, 0.1, len(minutes))
    humidity = 45 + 5 * np.cos(minutes / 50) + rng.normal(0, 0.5, len(minutes))
    vibration = np.where(minutes % 45 < 5, 3.0, 0.2) + rng.normal(0, 0.05, len(minutes))
    return np.column_stack([temperature, humidity, vibration])


def reading_vectors(minutes: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """One vector per minute from the SAMPLES samples up to it, centred on
    typical values and scaled to unit length (the engine's scores assume
    unit vectors)."""
    samples = sensor_samples(np.arange(minutes[0] - SAMPLES + 1, minutes[-1] + 1), rng)
    scaled = (samples - [21.0, 45.0, 1.0]) / [2.0, 5.0, 1.0]
    vectors = np.stack([scaled[i:i + SAMPLES].ravel() for i in range(len(minutes))])
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32)


def show_similar(db: ostrel.OstrelDB, vector: np.ndarray, now: int, title: str) -> None:
    print(f"\n{title}: count() = {db.count()}")
    # k = 20 makes the engine score every live reading (it scores only the
    # index's few proposals when they are at least 2k); keep the best three.
    for doc_id, score, metadata in db.search(vector, 20)[:3]:
        minutes_ago = (now - json.loads(metadata)["t"]) / 60
        print(f"  id {doc_id:3}  score {score:.3f}  {minutes_ago:5.1f} min ago")


def main():
    rng = np.random.default_rng(3)
    now = int(time.time())
    next_id = 0  # the id counter: never reused
    live_times = []  # the device's own list of the readings it keeps

    with tempfile.TemporaryDirectory() as directory:
        db = ostrel.OstrelDB(directory)

        # Step 1. After a reconnect the device replays its backlog: one
        # reading a minute, taken from 100 to 11 minutes ago (half a minute
        # before each mark). Each gets what remains of its hour as ttl;
        # readings older than an hour get a negative ttl: already expired.
        minutes = np.arange(-100, -10)
        for minute, vector in zip(minutes, reading_vectors(minutes, rng)):
            t = now + 60 * int(minute) - 30
            ttl = t + WINDOW_SECONDS - now
            db.add(next_id, vector, json.dumps({"t": t}), ttl=ttl)
            next_id += 1
            if ttl > 0:
                live_times.append(t)
        print(f"Added {next_id} readings from the backlog, {len(live_times)} of them "
              "younger than an hour.")

        # Step 2. Purge what has expired, then search for the moments most
        # like the latest reading (which comes first, itself).
        latest = vector
        db.clean_expired()
        show_similar(db, latest, now, "After purging readings older than an hour")

        # Step 3. The window holds more than MAX_READINGS: delete the
        # oldest by their time field.
        excess = len(live_times) - MAX_READINGS
        if excess > 0:
            cutoff = live_times[excess]  # readings taken before this one go
            deleted = db.delete(json.dumps({"t": {"$lt": cutoff}}))
            live_times = live_times[excess:]
            print(f"\nDeleted the {deleted} oldest readings (t < {cutoff}).")
        show_similar(db, latest, now, "After deleting the oldest")

        # Step 4. Readings arrive live, each with a full hour to live; the
        # last falls into a vibration burst. The moments most like it are
        # the earlier burst, 45 minutes ago.
        minutes = np.arange(-9, 1)
        for minute, vector in zip(minutes, reading_vectors(minutes, rng)):
            t = now + 60 * int(minute)
            db.add(next_id, vector, json.dumps({"t": t}), ttl=WINDOW_SECONDS)
            next_id += 1
            live_times.append(t)
        # vector is now the latest reading, taken in the burst.
        show_similar(db, vector, now, "After the live readings")


if __name__ == "__main__":
    main()
