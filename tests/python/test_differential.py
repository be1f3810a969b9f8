"""Filters, delete, expiry and count against a naive model that keeps filter
entries in sets. Its range index keeps the real one's history: node keys are
the group keys of earlier flushes (when filters ran) and stay when ids leave.
No field reaches the 5000 pending values that flush alone (filter_test.cpp)."""

import json
import random
from itertools import accumulate

NONE = None  # a clause that could not be applied (no constraint); not the empty set
STRS = ["red", "blue", "true", "false", "5", "", "\u00e9t\u00e9"]
NUMS = [0, -0.0, 6e-10, 1.2e-9, -5e-10, 1, 1.0, 1.0000000005, 1.000000001, 1.0000000012,
        2, 2.5, -3, 7, 10, 9007199254740993, 1e300, -2**63, 2**64 - 1]
SCALARS = STRS + NUMS + [True, False]
PATHS = ["s", "n", "m", "b", "o", "o.x", "o.y", "o.y.z", "$x", "tags", "gone", "temp",
         "late", "never", "o.q"]
# Not indexed, or indexed with the last of repeated keys.
ODD_TEXTS = ["[1, 2]", "null", "5", '{"s": "red", "s": 2}', ' {"o": {"x": 1, "x": "blue"}} ']
OPERATORS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists", "$foo"]


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def token(v):  # the text an equality entry is filed under
    return json.dumps(v) if isinstance(v, bool) else v


def build_tree(pairs):
    """Nodes [key, ids grouped under this key or a smaller one] from (value, id)
    pairs. A group's key is its first value; |value - key| < 1e-9 joins it."""
    groups = []
    for value, doc_id in sorted(pairs, key=lambda p: p[0]):  # stable sort
        if not groups or not abs(value - groups[-1][0]) < 1e-9:
            groups.append((value, set()))
        groups[-1][1].add(doc_id)
    cumulative = accumulate((ids for _, ids in groups), set.union)
    return [[key, ids] for (key, _), ids in zip(groups, cumulative)]


class FilterModel:
    # all_docs: the universe of negations; deleted: by delete or expiry, never shrinks.
    def __init__(self):
        self.all_docs, self.deleted, self.added, self.next_id = set(), set(), set(), 0
        self.exists, self.eq, self.pending, self.trees = {}, {}, {}, {}
        self.expired = {}  # id -> whether its expiry lies in the past

    def add(self, doc_id, meta, ttl=None):
        if doc_id in self.added:  # the previous text's entries are replaced
            self._unindex({doc_id})
        self.added.add(doc_id)
        self.all_docs.add(doc_id)
        self.next_id = max(self.next_id, doc_id + 1)
        if isinstance(meta, dict):
            self._index(meta, "", doc_id)
        if ttl is not None:
            self.expired[doc_id] = ttl < 0

    def _index(self, obj, prefix, doc_id):
        for key in sorted(obj, key=str.encode):
            path, value = (f"{prefix}.{key}" if prefix else key), obj[key]
            self.exists.setdefault(path, set()).add(doc_id)
            if isinstance(value, (bool, str)):
                self.eq.setdefault(path, {}).setdefault(token(value), set()).add(doc_id)
            elif is_number(value):
                self.pending.setdefault(path, []).append((float(value), doc_id))
            elif isinstance(value, dict):
                self._index(value, path, doc_id)

    def _unindex(self, ids):
        for pairs in self.pending.values():
            pairs[:] = [p for p in pairs if p[1] not in ids]
        for s in [*self.exists.values(), *(s for v in self.eq.values() for s in v.values()),
                  *(s for nodes in self.trees.values() for _, s in nodes)]:  # tree keys stay
            s -= ids

    def remove(self, ids):
        self.deleted |= ids
        self.all_docs -= ids
        self._unindex(ids)

    def purge(self):
        self.remove({i for i, past in self.expired.items() if past})
        self.expired = {i: past for i, past in self.expired.items() if not past}

    def count(self):
        self.purge()
        return self.next_id - len(self.deleted)

    def apply(self, text):
        for path, pending in self.pending.items():  # a field once given a number has a tree
            nodes = self.trees.get(path, [])
            if pending:
                nodes = build_tree(pending + [(key, i) for key, ids in nodes for i in sorted(ids)])
            self.trees[path] = nodes
        self.pending = {}
        return self.eval(json.loads(text))

    def search(self, text):
        self.purge()
        return (self.added if text is None else (self.apply(text) or set())) - self.deleted

    def eval(self, node):
        if not isinstance(node, dict) or not node:
            return NONE
        key = min(node, key=str.encode)  # the other members are ignored
        value = node[key]
        if key == "$not":
            inner = self.eval(value)
            return NONE if inner is NONE else self.all_docs - inner
        if key in ("$and", "$or"):
            if not isinstance(value, list):
                return NONE
            results = [r for r in map(self.eval, value) if r is not NONE]
            if key == "$or":
                return set().union(*results)
        elif not isinstance(value, dict):
            return NONE
        else:
            results = [r for op, operand in value.items()
                       if (r := self.eval_operator(key, op, operand)) is not NONE]
        return set.intersection(*results) if results else NONE

    def eval_operator(self, field, op, operand):
        if op in ("$eq", "$ne"):
            r = self.eval_eq(field, operand)
            return r if op == "$eq" or r is NONE else self.all_docs - r
        if op in ("$in", "$nin") and isinstance(operand, list):
            union = set().union(*(self.eval_eq(field, e) or set() for e in operand))
            return union if op == "$in" else self.all_docs - union
        if op == "$exists" and isinstance(operand, bool) and field in self.exists:
            return set(self.exists[field]) if operand else self.all_docs - self.exists[field]
        if op not in ("$gt", "$gte", "$lt", "$lte") or not is_number(operand) or (
                field not in self.trees):
            return NONE  # unknown operators and operands of the wrong kind are skipped
        nodes, bound = self.trees[field], float(operand)
        if not nodes:
            return set()
        strict = op in ("$lt", "$gte")  # keys below the bound, else at or below
        c = sum(1 for k, _ in nodes if (k < bound if strict else k <= bound))
        low = set(nodes[c - 1][1]) if c else set()
        return low if op in ("$lt", "$lte") else nodes[-1][1] - low

    def eval_eq(self, field, value):
        if isinstance(value, (bool, str)):  # an unknown value of a known field: empty set
            return set(self.eq[field].get(token(value), set())) if self.eq.get(field) else NONE
        if not is_number(value) or field not in self.trees:
            return NONE
        nodes, v = self.trees[field], float(value)
        n = max((n for n, (k, _) in enumerate(nodes) if k <= v), default=0)
        if not nodes or nodes[n][0] != v:
            return set()
        return nodes[n][1] - (nodes[n - 1][1] if n else set())


def random_metadata(rng, late=False):
    doc = {}
    for key, pool in [("s", STRS), ("n", NUMS), ("m", SCALARS), ("b", [True, False, "true"])]:
        if rng.random() < 0.7:
            doc[key] = rng.choice(pool) if rng.random() < 0.9 else rng.choice([None, [1, "red"]])
    if rng.random() < 0.4:
        inner = {"x": rng.choice(NUMS + STRS), "y": rng.choice([{"z": rng.choice(NUMS)}, 3, None])}
        doc["o"] = {k: v for k, v in inner.items() if rng.random() < 0.7}
    elif rng.random() < 0.1:
        doc["o"] = rng.choice(SCALARS)
    for key, p in [("o.x", 0.15), ("o.y.z", 0.1), ("$x", 0.1), ("late", 0.5 if late else 0)]:
        if rng.random() < p:
            doc[key] = rng.choice(SCALARS)
    if rng.random() < 0.2:
        doc["tags"] = rng.sample(SCALARS, rng.randint(0, 2))
    return doc


def random_operand(rng, op):
    if op in ("$eq", "$ne", "$foo") or rng.random() < 0.1:  # also operands of wrong kinds
        return rng.choice(SCALARS + ["zzz", 3.25, None, [1], {"a": 1}])
    if op in ("$in", "$nin"):
        return rng.sample(SCALARS + ["zzz", None], rng.randint(0, 3))
    if op == "$exists":
        return rng.random() < 0.5
    return rng.choice(NUMS + [0.5, 1.0000000002, 1.5e-9, -1e9])


def random_filter(rng, depth=0):
    # Mostly logical nodes at the top, only leaves at depth 3.
    r = rng.uniform(0.4, 1) if depth == 3 else rng.random() * (0.6 if depth == 0 else 1)
    if r < 0.4:
        op = rng.choice(["$and", "$or", "$not"])
        if rng.random() < 0.05:
            node = {op: rng.choice([[], 3, {"s": {"$eq": "red"}}])}  # wrong operand kinds
        elif op == "$not":
            node = {op: random_filter(rng, depth + 1)}
        else:
            n = rng.choice([0, 1, 2, 2, 3, 3, 3])
            node = {op: [random_filter(rng, depth + 1) for _ in range(n)]}
    elif r < 0.43:
        node = rng.choice([{}, [], None, 5, {"s": "red"}, {"o": {"x": {"$eq": 1}}}])
    else:
        u = rng.random()
        ops = (rng.choice(SCALARS) if u < 0.05 else {} if u < 0.08 else
               {op: random_operand(rng, op) for op in rng.sample(OPERATORS, rng.randint(1, 3))})
        node = {rng.choice(PATHS): ops}
    if isinstance(node, dict) and rng.random() < 0.1:  # extra members: only the smallest counts
        node.setdefault(rng.choice(PATHS + ["$and", "$or", "$not"]), random_filter(rng, 3))
    return node


def test_filters_match_naive_model(db):
    rng, model = random.Random(2024), FilterModel()

    def add(doc_id, meta, ttl=None):
        text = meta if isinstance(meta, str) else json.dumps(meta)
        db.add(doc_id, [rng.uniform(0.1, 1.0) for _ in range(4)], text, ttl)
        model.add(doc_id, json.loads(text) if text.lstrip()[0] == "{" else text, ttl)

    def search(text):
        k = len(model.added) + 10  # the fallback then lists every match
        got = {i for i, _, _ in db.search([1.0, 0.5, 0.25, 0.125], k, text, False)}
        want = model.search(text)
        assert got == want, (text, sorted(got - want)[:8], sorted(want - got)[:8])

    for n, doc_id in enumerate(rng.sample(range(2600), 2000)):  # with gaps
        meta = random_metadata(rng)
        meta.update({"gone": rng.choice(["red", 1.5])} if n < 10 else
                    {"temp": 4} if n < 15 else {})
        ttl = -1 if n < 2 else rng.choices([None, -1, 3600], [0.9, 0.05, 0.05])[0]
        add(doc_id, meta if n % 97 else rng.choice(ODD_TEXTS), ttl)
    # "temp" loses its only numbers while pending: its range clauses give empty sets.
    for doc_id in sorted(model.exists["temp"]):
        add(doc_id, random_metadata(rng))

    for round_no in range(12):
        if round_no:  # re-add live, deleted and expired ids, and new ones
            for doc_id in rng.sample(sorted(model.added), 50) + rng.sample(range(2600, 3000), 5):
                ttl = rng.choices([None, -1, 3600], [0.8, 0.1, 0.1])[0]
                add(doc_id, random_metadata(rng, late=round_no >= 5), ttl)
        # Deletes of a few documents each, before any purge (expired documents
        # still match); negations reach re-added deleted ids.
        done = 0
        for attempt in range(300):
            f = {"gone": {"$exists": True}} if round_no == attempt == 0 else random_filter(rng)
            text = json.dumps({"$not": f} if attempt % 2 else f)
            want = model.apply(text) or set()
            if attempt == 0 and not want or 0 < len(want) <= len(model.all_docs) // 100:
                assert db.delete(text) == len(want), text
                model.remove(want)
                done += 1
                if done == 4:
                    break
        if round_no % 3 == 0:
            db.clean_expired()
            model.purge()
        assert db.count() == model.count()
        for _ in range(40):
            search(json.dumps(random_filter(rng)))
        search(None)
