#!/usr/bin/env python3
"""Semantic search over short texts, with metadata filters.

The texts are the notes of a small support desk. Shown:

1. turning texts into vectors: a toy embedding written here (hashed
   character trigrams), so that nothing needs downloading. A real program
   would call its sentence-embedding model instead; the rest stays the same;
2. ingesting a numpy matrix of vectors, normalised to unit length in one
   line, with a progress bar. The bar is a few lines of our own (no
   dependency); with tqdm (Debian: python3-tqdm), `for i in tqdm(range(n))`
   does the same;
3. searching with filters: one field, several fields with "$and", a range,
   and "$not".

Run it from the repository root after building the module:

    PYTHONPATH=build/python /usr/bin/python3 examples/text_search.py
"""

import json
import sys
import tempfile
import zlib

import numpy as np

import ostrel

DIMENSION = 256

NOTES = [  # (text, topic, year, stars)
    ("Battery drains overnight even when the device is idle", "power", 2023, 2),
    ("Charger gets warm and the battery stops at 80 percent", "power", 2024, 3),
    ("Device will not power on after a firmware update", "power", 2022, 1),
    ("Replacing the battery fixed the random shutdowns", "power", 2024, 5),
    ("Solar panel keeps the battery charged through winter", "power", 2023, 5),
    ("Wi-Fi drops every few minutes on the 5 GHz band", "network", 2024, 2),
    ("Cannot join the network after changing the router password", "network", 2023, 3),
    ("Bluetooth pairing fails with older phones", "network", 2022, 2),
    ("Switching to the 2.4 GHz band made the connection stable", "network", 2024, 4),
    ("Mesh network extends coverage to the garden sensor", "network", 2023, 5),
    ("Temperature sensor reads five degrees too high in sunlight", "sensors", 2024, 2),
    ("Humidity readings drift after a month outdoors", "sensors", 2023, 3),
    ("Calibrating the temperature sensor fixed the offset", "sensors", 2024, 5),
    ("Vibration sensor triggers false alarms near the pump", "sensors", 2022, 2),
    ("Air quality sensor needs a warm-up of ten minutes", "sensors", 2023, 4),
    ("Screen is hard to read in direct sunlight", "display", 2023, 2),
    ("Display flickers when the battery is low", "display", 2024, 2),
    ("Night mode makes the screen easy on the eyes", "display", 2024, 5),
    ("Touch screen does not respond with gloves on", "display", 2022, 3),
    ("Firmware update added a battery saving mode", "software", 2024, 5),
    ("App crashes when exporting readings to a spreadsheet", "software", 2023, 1),
    ("Scheduled reports arrive an hour late after the time change", "software", 2022, 2),
    ("New dashboard shows sensor history for a whole year", "software", 2024, 4),
    ("Backup of the settings restores in seconds", "software", 2023, 5),
]

QUERIES = [  # (question, filter, what the filter asks)
    ("battery runs out too quickly", None, "no filter"),
    ("battery runs out too quickly", {"topic": {"$eq": "display"}},
     "only display notes"),
    ("network connection keeps dropping",
     {"$and": [{"year": {"$gte": 2024}}, {"stars": {"$gte": 4}}]},
     "2024 or later, and rated 4 or 5: several fields need $and"),
    ("sensor shows wrong temperature", {"$not": {"topic": {"$eq": "sensors"}}},
     "anything but sensor notes"),
]


def embed(text: str) -> np.ndarray:
    """A toy text embedding: each character trigram of each word adds +1 or
    -1 to one of DIMENSION buckets chosen by a hash. Texts that share word
    pieces ("charge", "charger", "charged") get similar vectors."""
    vector = np.zeros(DIMENSION, dtype=np.float32)
    for word in text.lower().split():
        padded = f"<{word}>"
        for i in range(len(padded) - 2):
            h = zlib.crc32(padded[i:i + 3].encode())
            vector[h % DIMENSION] += 1.0 if h & 0x80000000 else -1.0
    return vector


def progress(done: int, total: int, width: int = 30) -> None:
    """Draws a progress bar on stderr, in place."""
    filled = width * done // total
    sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def main():
    # One row per note. Scores assume unit-length vectors: normalise the
    # whole matrix in one line.
    matrix = np.stack([embed(text) for text, _, _, _ in NOTES])
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)

    with tempfile.TemporaryDirectory() as directory:
        db = ostrel.OstrelDB(directory)
        for i, (row, (text, topic, year, stars)) in enumerate(zip(matrix, NOTES)):
            metadata = {"text": text, "topic": topic, "year": year, "stars": stars}
            db.add(i, row, json.dumps(metadata))  # row: a float32 numpy view
            if (i + 1) % 5 == 0 or i + 1 == len(matrix):
                progress(i + 1, len(matrix))

        for question, filter_, meaning in QUERIES:
            print(f'\n"{question}"  ({meaning})')
            filter_json = json.dumps(filter_) if filter_ is not None else None
            query = embed(question)
            query /= np.linalg.norm(query)  # queries need unit length too
            # A k well above the three shown makes the engine score every
            # matching note instead of the index's few proposals.
            for _, score, metadata_json in db.search(query, 20, filter_json)[:3]:
                note = json.loads(metadata_json)
                print(f"  {score:.3f}  [{note['topic']}, {note['year']}, "
                      f"{note['stars']} stars] {note['text']}")


if __name__ == "__main__":
    main()
