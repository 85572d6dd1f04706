"""The scene and override schemas against the scene library's parser: every key the parser
looks up is in the schema, every key of the schema is looked up, and the name tables the
library exports are the names the schema allows.

The lookups are observed, not read from the sources: a probe preloaded into a Python
process records each key the library asks cJSON for, with the object it asks it of (every
object of the probe documents carries a "__probe__" tag). The documents are made from the
schema: every source type, every key the schema allows with each of its example values,
and each key left out in turn, so keys read only under some condition are reached too.
A key added to the parser without the schema (or the other way round) fails here: add it to
python/quennel/schemas/scene.schema.json (or overrides.schema.json).
"""

import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from quennel import _native
from quennel.errors import SceneError
from quennel.scene import template_json
from quennel.schema import OVERRIDES_SCHEMA, SCENE_SCHEMA, allowed_properties, override_problems, scene_problems, schema

import kettara

REPO = Path(__file__).resolve().parents[2]

# Keys the schemas allow that the parser does not read, and why.
NOT_READ = {
    ("scene", "$schema"): "names the schema for editors",
    ("scene", "version"): "written when a scene is written back, ignored when read",
    ("overrides", "$schema"): "names the schema for editors",
}

# Keys the parser reads that the schema does not allow there, and why.
READ_ONLY_TO_REFUSE = {
    ("segment", "type"): "a segment with both \"sum\" and \"type\" is refused",
}

# Schema names that the library holds in exported tables.
NAME_TABLES = [
    ("source", "type", "TYPE_NAMES"), ("source", "snr_mode", "MODE_NAMES"), ("source", "lfsr", "LFSR_NAMES"),
    ("source", "crc", "CRC_NAMES"), ("scene", "seed_advance", "SEED_ADVANCE_NAMES"),
]

PROBE_RUNNER = r"""
import json, sys
import kettara
from quennel._native import kettara_lib, take_text
lib = kettara_lib()
documents = json.load(open(sys.argv[1]))
for text in documents["scenes"]:
    take_text(lib.wfm_spec_normalise(text.encode()), lib.cJSON_free)
    composer = lib.wfm_compose_from_json(text.encode())
    if composer:
        lib.wfm_compose_destroy(composer)
    try:
        kettara.Plan(text).close()
    except RuntimeError:
        pass
plan = kettara.Plan(documents["plan_scene"])
for text in documents["overrides"]:
    plan.render(text)
"""


def probe_library() -> Path:
    path = Path(kettara.__file__).resolve().parent.parent / "tests" / "libkey_probe.so"
    assert path.is_file(), f"{path} is missing: build the tests (make build) first"
    return path


def resolved(subschema: dict, root: dict) -> dict:
    while "$ref" in subschema:
        subschema = {**root["$defs"][subschema["$ref"].removeprefix("#/$defs/")],
                     **{k: v for k, v in subschema.items() if k != "$ref"}}
    return subschema


def example_number(s: dict, kind: str):
    """A number within the schema's bounds: their midpoint, or one inside the one bound."""
    low = s.get("minimum", s.get("exclusiveMinimum"))
    high = s.get("maximum", s.get("exclusiveMaximum"))
    value = (low + high) / 2 if low is not None and high is not None else \
        low + 1 if low is not None else high - 1 if high is not None else 1.0
    return math.ceil(value) if kind == "integer" else value


def examples(subschema: dict, root: dict, objects) -> list:
    """Values to give a key of this schema: every name, one value of each type, and every
    variant of an object (made by objects(schema))."""
    s = resolved(subschema, root)
    if "enum" in s:
        return list(s["enum"])
    values = []
    for kind in s["type"] if isinstance(s["type"], list) else [s["type"]]:
        if kind == "array" and "prefixItems" in s:
            values.append([examples(item, root, objects)[0] for item in s["prefixItems"]])
        elif kind == "array":
            values.append([examples(s["items"], root, objects)[0]] * max(s.get("minItems", 1), 1))
        elif kind == "object":
            values += objects(s)
        else:
            values.append({"boolean": True, "string": "1010" if "pattern" in s else "text"}.get(kind)
                          or example_number(s, kind))
    return values


class Documents:
    """Probe documents made from the schemas, every object tagged; keeps what the schema
    allows in each tagged object."""

    def __init__(self):
        self.allowed = {}  # tag -> (kind of object, keys the schema allows in it)
        self._values = {}

    def tagged(self, kind: str, subschema: dict, instance: dict, root: dict) -> dict:
        tag = str(len(self.allowed))
        self.allowed[tag] = (kind, set(allowed_properties(subschema, instance, root)))
        return {**instance, "__probe__": tag}

    def values(self, key: str, subschema: dict, root: dict) -> list:
        """The examples of a key, an object key's variants tagged (made once)."""
        if (key, id(subschema)) not in self._values:
            def objects(s):
                return [self.tagged(f"{key} object", s, v, root) for v in self.variants(s, {}, root)]
            self._values[key, id(subschema)] = examples(subschema, root, objects)
        return self._values[key, id(subschema)]

    def completed(self, subschema: dict, instance: dict, root: dict, leave_out=()) -> dict:
        """instance with every key the schema allows there added at its first example,
        until no new key becomes allowed."""
        instance = dict(instance)
        while True:
            missing = {key: s for key, s in allowed_properties(subschema, instance, root).items()
                       if key not in instance and key not in leave_out}
            if not missing:
                return instance
            instance.update({key: self.values(key, s, root)[0] for key, s in missing.items()})

    def variants(self, subschema: dict, start: dict, root: dict) -> list[dict]:
        """The completed instance, then with each other key at each of its other
        examples, then with each other key left out."""
        base = self.completed(subschema, start, root)
        found = [base]
        for key, s in allowed_properties(subschema, base, root).items():
            if key in start:
                continue
            found += [self.completed(subschema, {**start, key: value}, root) for value in self.values(key, s, root)[1:]]
            found.append(self.completed(subschema, start, root, leave_out=(key,)))
        return found

    def scenes(self) -> list[str]:
        root = schema(SCENE_SCHEMA)
        segment_schema = root["$defs"]["segment"]
        source_schema = segment_schema["properties"]["sum"]["items"]

        def scene(segment: dict) -> str:
            return json.dumps(self.tagged("scene", root, self.completed(root, {"segments": [segment]}, root), root))

        def sum_of(sources: list[dict]) -> dict:
            return self.tagged("segment", segment_schema, {"num_samples": 8, "sum": sources}, root)

        texts = []
        for kind in root["$defs"]["source"]["properties"]["type"]["enum"]:
            for source in self.variants(source_schema, {"type": kind}, root):
                texts.append(scene(self.tagged(f"flat {kind}", segment_schema, {"num_samples": 8, **source}, root)))
                texts.append(scene(sum_of([self.tagged(f"source {kind}", source_schema, source, root)])))
        tone = self.tagged("source tone", source_schema, {"type": "tone"}, root)
        for segment in self.variants(segment_schema, {"sum": [tone]}, root):
            texts.append(scene(self.tagged("segment", segment_schema, segment, root)))
        for top in self.variants(root, {"segments": [sum_of([tone])]}, root):
            texts.append(json.dumps(self.tagged("scene", root, top, root)))
        return texts

    def overrides(self, n_sources: int) -> list[str]:
        root = schema(OVERRIDES_SCHEMA)
        texts = []
        for instance in self.variants(root, {}, root):
            for key in ("gains", "phases", "enable", "freq_offsets"):
                if key in instance:
                    instance[key] = instance[key][:1] * n_sources
            texts.append(json.dumps(self.tagged("overrides", root, instance, root)))
        return texts


@pytest.fixture(scope="module")
def lookups(tmp_path_factory):
    """(documents, {tag: keys the library looked up in that object}, the tags sent)."""
    if os.environ.get("QUENNEL_UNDER_SANITIZER"):
        pytest.skip("the key probe is preloaded, which the sanitizer runtime's own preload excludes")
    folder = tmp_path_factory.mktemp("probe")
    documents = Documents()
    root = schema(SCENE_SCHEMA)
    tone = {"type": "tone", "snr": 10, "num_samples": 8}
    plan_scene = json.dumps(documents.tagged("scene", root, {"segments": [
        documents.tagged("flat tone", root["$defs"]["segment"], tone, root)]}, root))
    texts = {"scenes": documents.scenes(), "plan_scene": plan_scene,
             "overrides": documents.overrides(kettara.Plan(plan_scene).n_sources())}
    (folder / "documents.json").write_text(json.dumps(texts))
    sent = set(re.findall(r'"__probe__": "([0-9]+)"', json.dumps(texts).replace('\\"', '"')))
    log = folder / "lookups.txt"
    env = {**os.environ, "LD_PRELOAD": str(probe_library()), "KEY_PROBE_LOG": str(log)}
    subprocess.run([sys.executable, "-c", PROBE_RUNNER, str(folder / "documents.json")], env=env, check=True)
    read: dict[str, set[str]] = {}
    for line in log.read_text().splitlines():
        tag, key = line.split("\t")
        read.setdefault(tag, set()).add(key)
    return documents, read, sent


def test_every_key_the_parser_reads_is_in_the_schema(lookups):
    documents, read, _ = lookups
    assert "-" not in read, f"keys looked up in objects the schemas do not describe: {sorted(read['-'])}"
    unknown = {(documents.allowed[tag][0], key) for tag, keys in read.items()
               for key in keys - documents.allowed[tag][1]} - set(READ_ONLY_TO_REFUSE)
    assert not unknown, "the parser reads keys the schema does not allow there: " + ", ".join(
        f"{key!r} in a {kind}" for kind, key in sorted(unknown))


def test_every_schema_key_is_read_by_the_parser(lookups):
    documents, read, sent = lookups
    allowed, looked_up = {}, {}
    for tag in sent:
        kind, keys = documents.allowed[tag]
        allowed.setdefault(kind, set()).update(keys)
        looked_up.setdefault(kind, set()).update(read.get(tag, set()))
    unread = {(kind, key) for kind, keys in allowed.items() for key in keys - looked_up[kind]
              if (kind, key) not in NOT_READ}
    assert not unread, "schema keys the parser never reads: " + ", ".join(
        f"{key!r} in a {kind}" for kind, key in sorted(unread))
    assert {kind for kind, _ in NOT_READ} <= set(allowed)


@pytest.mark.parametrize("where, key, table", NAME_TABLES, ids=[t for _, _, t in NAME_TABLES])
def test_names_are_the_library_tables(where, key, table):
    root = schema(SCENE_SCHEMA)
    properties = root["properties"] if where == "scene" else root["$defs"][where]["properties"]
    assert tuple(properties[key]["enum"]) == _native.names(table)


def test_bits_modulations_are_the_library_table():
    root = schema(SCENE_SCHEMA)
    then = next(part["then"] for part in root["$defs"]["source"]["allOf"]
                if part["if"]["properties"].get("type", {}).get("const") == "bits")
    assert tuple(then["properties"]["modulation"]["enum"]) == _native.names("BITMOD_NAMES")


# ---- what the checks tell ----------------------------------------------------------------

TYPES = ('"tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss", '
         '"8psk", "16psk", "32psk", "64psk", "16qam", "64qam", "256qam", "1024qam", "oqpsk", "pi4qpsk", '
         '"ook", "4ask", "8ask", "32qam", "128qam", "16apsk", "32apsk"')
MODULATIONS = '"none", "bpsk", "qpsk", ' + TYPES.split('"dsss", ')[1]
SOURCE_KEYS = ('"acq_code", "acq_reps", "apsk_rings", "asm", "background", "channel", "conv", "crc", "f_end", "freq", '
               '"level", "lfsr", '
               '"pn_length", "pn_poly", "pulse", "randomise", "rs_depth", "seed", "snr", "snr_mode", "sps", "sync", '
               '"type"')
FLAT_TONE_KEYS = ('"acq_code", "acq_reps", "apsk_rings", "asm", "background", "channel", "conv", "crc", "delay_samples", '
                  '"f_end", '
                  '"freq", "frontend", "fs", "gap_noise", "level", "lfsr", "num_samples", "off_samples", "pn_length", '
                  '"pn_poly", "pulse", "randomise", "repeats", "rs_depth", "seed", "snr", "snr_mode", "sps", "sum", "sync", '
                  '"type"')

PROBLEMS = [
    ({"snrr": 10}, f'$.segments[0].snrr: found the key "snrr"; allowed: the keys {FLAT_TONE_KEYS}; '
                   'did you mean "snr"?'),
    ({"frq": 3}, f'$.segments[0].frq: found the key "frq"; allowed: the keys {FLAT_TONE_KEYS}; did you mean "freq"?'),
    ({"num_sample": 9}, f'$.segments[0].num_sample: found the key "num_sample"; allowed: the keys {FLAT_TONE_KEYS}; '
                        'did you mean "num_samples"?'),
    ({"rrc_beta": 0.2}, f'$.segments[0].rrc_beta: found the key "rrc_beta"; allowed: the keys {FLAT_TONE_KEYS}'),
    ({"snr": "10"}, '$.segments[0].snr: found string "10"; allowed: a number or a [lo, hi] pair of numbers'),
    ({"num_samples": [1, "x"]}, '$.segments[0].num_samples[1]: found string "x"; allowed: a whole number, 0 or more'),
    ({"num_samples": 10.5}, '$.segments[0].num_samples: found number 10.5; allowed: a whole number, 0 or more, '
                            'or a [lo, hi] pair of them'),
    ({"freq": [1, 2, 3]}, '$.segments[0].freq: found 3 items; allowed: a number or a [lo, hi] pair of numbers'),
    ({"type": "bits", "modulation": "qpsq"}, f'$.segments[0].modulation: found "qpsq"; allowed: one of {MODULATIONS}; '
                                             'did you mean "qpsk"?'),
    ({"pulse": "RRC"}, '$.segments[0].pulse: found "RRC"; allowed: one of "rect", "rrc"; did you mean "rrc"?'),
    ({"type": "tones"}, f'$.segments[0].type: found "tones"; allowed: one of {TYPES}; did you mean "tone"?'),
    ({"asm": 1}, '$.segments[0].asm: found number 1; allowed: true or false (only true turns it on)'),
    ({"sync": "1010x"}, '$.segments[0].sync: found string "1010x"; allowed: a string of 0 and 1 (spaces and '
                        'underscores may separate them)'),
    ({"fs": 0}, '$.segments[0].fs: found number 0; allowed: a sample rate above 0'),
    ({"type": None}, f'$.segments[0]: found no "type"; allowed: the key "type", one of {TYPES}'),
    ({"sum": [{"type": "tone", "fs": 2}]},
     f'$.segments[0].type: found the key "type"; allowed: the keys "delay_samples", "frontend", "fs", "gap_noise", '
     f'"num_samples", "off_samples", "repeats", "sum"\n'
     f'$.segments[0].sum[0].fs: found the key "fs"; allowed: the keys {SOURCE_KEYS}'),
]


@pytest.mark.parametrize("keys, lines", PROBLEMS, ids=[next(iter(k)) for k, _ in PROBLEMS])
def test_a_problem_is_told_in_one_line_with_where_what_and_what_is_allowed(keys, lines):
    segment = {key: value for key, value in {"type": "tone", "num_samples": 8, **keys}.items() if value is not None}
    assert "\n".join(map(str, scene_problems({"segments": [segment]}))) == lines


def test_scene_level_problems():
    lines = [str(p) for p in scene_problems({"segments": [], "repeet": True, "seed_advance": "nois"})]
    assert lines == [
        '$.repeet: found the key "repeet"; allowed: the keys "$schema", "continuous", "headroom", "repeat", '
        '"seed_advance", "segments", "version"; did you mean "repeat"?',
        '$.seed_advance: found "nois"; allowed: one of "none", "noise", "all"; did you mean "noise"?',
        '$.segments: found 0 items; allowed: a non-empty array of segments, played in order']
    assert [str(p) for p in scene_problems("{not json")] == ["$: found text that is not JSON; allowed: a JSON object"]


@pytest.mark.parametrize("overrides, line", [
    ({"gain": [0]}, '$.gain: found the key "gain"; allowed: the keys "$schema", "enable", "fading_seed", "freq_offsets", '
                    '"gains", "phases", "seed", "snr"; did you mean "gains"?'),
    ({"enable": [True, False]}, "$.enable: found 2 values; allowed: exactly 3 (one per cached source)"),
    ({"gains": [0, "x", 0]}, '$.gains[1]: found string "x"; allowed: a number'),
    ({"snr": "6"}, '$.snr: found string "6"; allowed: a number of dB'),
    ({"seed": -1}, "$.seed: found number -1; allowed: a whole number, 0 or more"),
])
def test_override_problems(overrides, line):
    assert [str(p) for p in override_problems(overrides, 3)] == [line]
    assert override_problems({"gains": [0, 1, 2], "enable": [1, 0, True], "snr": 3, "seed": 7}, 3) == []


def documented_scenes() -> list[str]:
    """The scenes of the README and the scene guide (segments, sources and the keys of a
    source alone made whole), and the template."""
    texts = [template_json()]
    for doc in ("README.md", "docs/scenes.md"):
        for block in re.findall(r"```json\n(.*?)```", (REPO / doc).read_text(), re.S):
            try:
                scene = json.loads(block)
            except ValueError:
                scene = {"type": "qpsk", "num_samples": 8, **json.loads("{" + block + "}")}
            if not {"segments", "sum", "type"} & set(scene):
                continue  # not a scene (a dataset description)
            texts.append(json.dumps(scene if "segments" in scene else {"segments": [scene]}))
    return texts


def test_documented_scenes_have_no_problems():
    texts = documented_scenes()
    assert len(texts) > 10
    assert {text: [str(p) for p in scene_problems(text)] for text in texts} == {text: [] for text in texts}


def test_schema_key_is_ignored_by_the_parser():
    scene = {"segments": [{"type": "bpsk", "snr": 5, "num_samples": 64}]}
    with_schema = {"$schema": "https://example.invalid/scene.schema.json", **scene}
    assert scene_problems(with_schema) == []
    assert kettara.Plan(json.dumps(with_schema)).render("").tobytes() == kettara.Plan(json.dumps(scene)).render("").tobytes()


BAD_SCENE = {"segments": [{"type": "tone", "snrr": 10, "num_samples": 64}]}
BAD_LINE = f'$.segments[0].snrr: found the key "snrr"; allowed: the keys {FLAT_TONE_KEYS}; did you mean "snr"?'


def test_a_strict_plan_refuses_problems_a_lenient_one_ignores():
    text = json.dumps(BAD_SCENE)
    assert len(kettara.Plan(text).render("")) == 64
    with pytest.raises(SceneError) as refused:
        kettara.Plan(text, strict=True)
    assert str(refused.value) == f"scene: {BAD_LINE}"
    good = json.dumps({"segments": [{"type": "tone", "snr": 10, "num_samples": 64}]})
    strict, lenient = kettara.Plan(good, strict=True), kettara.Plan(good)
    assert strict.render('{"snr": 3}').tobytes() == lenient.render('{"snr": 3}').tobytes()
    assert len(lenient.render('{"gain": [3]}')) == 64
    with pytest.raises(ValueError, match=r'overrides: \$\.gain: found the key "gain"'):
        strict.render('{"gain": [3]}')


def test_sweep_warns_or_refuses(caplog):
    from quennel.sweep import sweep

    table = sweep(json.dumps(BAD_SCENE), lambda x, snr: len(x), [0.0], 2, threads=1)
    assert list(table["value"]) == [64, 64]
    assert [r.getMessage() for r in caplog.records] == [f"scene: {BAD_LINE}"]
    with pytest.raises(SceneError, match="did you mean"):
        sweep(json.dumps(BAD_SCENE), lambda x, snr: 0, [0.0], 1, strict=True)


def quennel(*args):
    done = subprocess.run([sys.executable, "-m", "quennel", *map(str, args)], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


def test_check_prints_every_problem_and_fails(tmp_path):
    good, bad, refused = tmp_path / "good.json", tmp_path / "bad.json", tmp_path / "refused.json"
    good.write_text(template_json())
    bad.write_text(json.dumps({"segments": [{"type": "tone", "snrr": 10, "num_samples": 64},
                                            {"type": "bits", "modulation": "qpsq"}]}))
    refused.write_text(json.dumps({"segments": [{"type": "tone", "sync": "1010", "num_samples": 64}]}))
    assert quennel("check", good) == (0, "", "")
    status, out, err = quennel("check", good, bad, refused, tmp_path / "missing.json")
    assert (status, err) == (1, "")
    assert out.splitlines() == [
        f"{bad}: {BAD_LINE}",
        f'{bad}: $.segments[1].modulation: found "qpsq"; allowed: one of {MODULATIONS}; did you mean "qpsk"?',
        f"{refused}: --acq-code/--sync frame a waveform, and a frame needs an explicit payload: use --type bits with "
        "--bits (--modulation bpsk|qpsk), or --type dsss to spread it",
        f"{tmp_path / 'missing.json'}: no such file"]


@pytest.mark.parametrize("scene, warning", [
    (BAD_SCENE, BAD_LINE),
    ({"segments": [{"type": "tone", "snr": 10}]}, 'the render yields 0 samples (each segment plays "num_samples", '
                                                  '0 when absent)'),
])
def test_render_warns_and_goes_on_unless_strict(tmp_path, scene, warning):
    path = tmp_path / "scene.json"
    path.write_text(json.dumps(scene))
    status, _, err = quennel("render", path, "-o", tmp_path / "out.iq")
    assert (status, err) == (0, f"quennel render: {path}: {warning}\n")
    assert (tmp_path / "out.iq").is_file()
    status, _, err = quennel("render", path, "-o", tmp_path / "strict.iq", "--strict")
    assert status == 1 and err.endswith(f"{warning}\n") and "strict.iq" not in os.listdir(tmp_path)


def test_sweep_command_warns_and_strict_refuses(tmp_path):
    path = tmp_path / "scene.json"
    path.write_text(json.dumps(BAD_SCENE))
    status, out, err = quennel("sweep", path, "--snr", "0:0:1", "--trials", "1")
    assert (status, err, len(out.splitlines())) == (0, f"quennel sweep: {path}: {BAD_LINE}\n", 2)
    status, out, err = quennel("sweep", path, "--snr", "0:0:1", "--trials", "1", "--strict")
    assert (status, out) == (1, "") and BAD_LINE in err


def test_render_warns_of_overrides_the_plan_ignores_unless_strict(tmp_path):
    path = tmp_path / "scene.json"
    path.write_text(json.dumps({"segments": [{"type": "tone", "snr": 10, "num_samples": 64}]}))
    line = f'{path}: overrides: $.enable: found 2 values; allowed: exactly 1 (one per cached source)'
    status, _, err = quennel("render", path, "-o", tmp_path / "out.iq", "--overrides", '{"enable": [true, false]}')
    assert (status, err) == (0, f"quennel render: {line}\n")
    status, _, err = quennel("render", path, "-o", tmp_path / "strict.iq", "--overrides", '{"enable": [1, 0]}', "--strict")
    assert status == 1 and err == f"quennel render: {line}\n" and "strict.iq" not in os.listdir(tmp_path)
