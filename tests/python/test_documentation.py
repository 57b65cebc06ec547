import argparse
import ast
import inspect
import re
from pathlib import Path

import kvt_pulse_reader as kvt
import pytest
from kvt_pulse_reader import COLUMNS, FILTER_KEYWORDS, PulseFilter

from kvt_pulse_tools import cli
from kvt_pulse_tools.columns import dictionary_markdown

ROOT = Path(__file__).resolve().parents[2]
# A name's suffix promises a unit, which its documentation must name.
SUFFIX_UNITS = {"f": "frames", "s": "seconds", "m": "minutes", "hz": "hertz"}


def promised_unit(name):
    return SUFFIX_UNITS.get(name.rsplit("_", 1)[-1]) if "_" in name else None


def test_every_public_name_and_option_is_documented():
    for name in kvt.__all__:
        thing = getattr(kvt, name)
        members = (
            [thing]
            + [
                member
                for attr, member in vars(thing).items()
                if not attr.startswith("_") or attr in ("__enter__", "__exit__")
            ]
            if isinstance(thing, type)
            else [thing]
        )
        for member in members:
            doc = inspect.getdoc(member) or ""
            assert len(doc) > 20, f"{name}.{getattr(member, '__name__', '')} has no documentation"
            signature = getattr(member, "__text_signature__", None) or ""
            for argument in re.findall(r"[($\s*](\w+)(?==|,|\))", signature):
                assert argument in {"self", "kwargs"} or f"`{argument}`" in doc, f"{member} misses {argument}"
    help_text = inspect.getdoc(PulseFilter)
    for keyword, kind, unit, meaning in FILTER_KEYWORDS:
        assert promised_unit(keyword) in (None, unit) and meaning
        assert f"{keyword} ({kind}" + (f", {unit})" if unit else ")") in help_text
    parsers = [cli.build_parser()]
    for parser in parsers:
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                parsers += action.choices.values()
                assert all(choice.help for choice in action._choices_actions)
            elif not isinstance(action, (argparse._HelpAction, argparse._VersionAction)):
                assert action.help, f"{parser.prog} {action.option_strings or action.dest} has no help"
                unit = promised_unit(action.dest)
                assert unit is None or unit in action.help, f"{parser.prog} {action.dest}: no unit {unit}"
                if unit and action.nargs is None and action.type is not None:
                    assert action.metavar == unit.upper()


def test_data_dictionary_matches_the_tables_and_the_readme(reader):
    frames = {
        "records": reader.read_records(columns=[c[0] for c in COLUMNS["records"]]),
        "pulses": reader.read_pulses(columns=[c[0] for c in COLUMNS["pulses"]]),
        "summary": reader.summarize(),
    }
    for table, rows in COLUMNS.items():
        assert [(name, dtype) for name, dtype, _, _ in rows] == [(n, str(t)) for n, t in frames[table].dtypes.items()]
        for name, _, unit, meaning in rows:
            assert promised_unit(name) in (None, unit) and len(meaning) > 10, (table, name)
    readme = (ROOT / "README.md").read_text()
    section = readme.split("<!-- data dictionary: kvt-pulses columns --markdown -->\n")[1]
    assert section.split("<!-- end of the data dictionary -->")[0] == dictionary_markdown(), (
        "README's data dictionary is stale: paste `kvt-pulses columns --markdown` there"
    )


def test_arrow_fields_carry_description_and_unit(reader, small_file, tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet

    assert cli.main(["summary", str(small_file), "-q", "-o", str(tmp_path / "s.parquet")]) == 0
    schemas = {
        "pulses": pyarrow.RecordBatchReader.from_stream(reader.stream_pulses()).schema,
        "records": pyarrow.RecordBatchReader.from_stream(reader.stream_records()).schema,
        "summary": pyarrow.parquet.read_schema(tmp_path / "s.parquet"),
    }
    for table, schema in schemas.items():
        expected = {
            name: {b"description": meaning.encode(), b"unit": unit.encode()}
            for name, _, unit, meaning in COLUMNS[table]
        }
        assert {field.name: field.metadata for field in schema} == {name: expected[name] for name in schema.names}


def test_filter_options_and_reprs(reader, small_file, capsys):
    given = {
        "min_dur_f": 3,
        "min_dur_s": 0.5,
        "max_dur_s": 2.0,
        "min_snr": 1.5,
        "min_intensity": 7.0,
        "min_binratio": 0.25,
        "max_binratio": 4.0,
        "start_m": 1.0,
        "end_m": 9.0,
        "mask_s": (1.0, 2.0),
        "recalc_ipd": True,
    }
    assert [keyword for keyword, *_ in FILTER_KEYWORDS] == list(given)
    argv = ["summary", "x.bin"]
    for option, keyword, kind, _, _ in cli.filter_options():
        value = given[keyword]
        argv += [option] if kind == "bool" else [option, *map(str, value if isinstance(value, tuple) else [value])]
    kwargs = cli.filter_kwargs(cli.build_parser().parse_args(argv))
    assert kwargs == given
    assert repr(PulseFilter(**kwargs)) == "PulseFilter(" + ", ".join(f"{k}={v!r}" for k, v in given.items()) + ")"
    assert repr(PulseFilter(min_dur_f=2)) == "PulseFilter(min_dur_f=2)" and repr(PulseFilter()) == "PulseFilter()"
    assert repr(reader) == f"<PulseReader {str(small_file)!r}: 3 apertures, open>"
    reader.close()
    assert repr(reader) == f"<PulseReader {str(small_file)!r}: 3 apertures, closed>"


def test_stub_names_every_filter_keyword():
    tree = ast.parse((ROOT / "python" / "kvt_pulse_reader.pyi").read_text())
    classes = {node.name: node.body for node in tree.body if isinstance(node, ast.ClassDef)}
    new = next(node for node in classes["PulseFilter"] if getattr(node, "name", "") == "__new__")
    typed = [
        (node.target.id, ast.unparse(node.annotation))
        for node in classes["_PulseFilterKwargs"]
        if isinstance(node, ast.AnnAssign)
    ]
    assert typed == [(name, kind) for name, kind, *_ in FILTER_KEYWORDS]
    assert [argument.arg for argument in new.args.kwonlyargs] == [name for name, *_ in FILTER_KEYWORDS]


@pytest.mark.parametrize(
    "argv, shown",
    [
        (["pulses", "dur_s", "snr"], ["pulses:", "dur_s", "float32", "seconds", "snr"]),
        (["summary"], [name for name, *_ in COLUMNS["summary"]]),
        ([], ["records:", "pulses:", "summary:", "long_pulse_dropped", "_m minutes"]),
        (["pulses", "nope"], ["error: Unknown column 'nope'; the valid columns are: aperture_index, index, start_f"]),
        (["nope"], ["error: unknown table 'nope'; the tables are: records, pulses, summary"]),
    ],
)
def test_columns_command(capsys, argv, shown):
    status = cli.main(["columns", *argv])
    out, err = capsys.readouterr()
    assert status == (1 if "nope" in argv else 0) and all(part in out + err for part in shown)
