"""The module's own iter_entry_points, bound where pkg_resources cannot be imported:
which distributions it takes, and how its entry points load."""
import json
import textwrap

from test_module import HIDE_PKG_RESOURCES, run_py

OWN = HIDE_PKG_RESOURCES + """
        import plexor.core.pluginmanager as m
        assert m.iter_entry_points.__module__ == "plexor.core.pluginmanager"
"""


def script(*parts):
    """One script of code parts, each indented as it likes."""
    return "\n".join(textwrap.dedent(part) for part in parts)


def dist_info(site, directory, metadata, entry_points, modules=None):
    """A metadata directory `directory` in `site` with the given METADATA fields, the
    given entry points of the group plexor.plugins, and the given modules beside it."""
    info = site / directory
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\n" + "".join(
        "%s: %s\n" % field for field in metadata.items()))
    (info / "entry_points.txt").write_text("[plexor.plugins]\n" + "".join(
        "%s = %s\n" % item for item in entry_points.items()))
    for path, code in (modules or {}).items():
        (site / path).parent.mkdir(parents=True, exist_ok=True)
        (site / path).write_text(textwrap.dedent(code))


def own_entry_points(tmp_path, *sites):
    """(name, module_name) of the own enumerator's plexor.plugins entry points that
    come from the given directories, put in front of sys.path in this order."""
    return run_py(tmp_path, script(OWN, """
        sys.path[:0] = %r
        print([(e.name, e.module_name) for e in m.iter_entry_points("plexor.plugins")
               if e.name != "demo"])
    """ % [str(site) for site in sites]))


def test_a_distribution_without_a_name_is_skipped(tmp_path):
    """Neither its directory ("-1.0.dist-info") nor its metadata names it."""
    site = tmp_path / "site"
    dist_info(site, "-1.0.dist-info", {"Version": "1.0"}, {"nameless": "nowhere"})
    dist_info(site, "named-1.0.dist-info", {"Name": "named", "Version": "1.0"},
              {"named": "somewhere"})
    assert own_entry_points(tmp_path, site) == "[('named', 'somewhere')]\n"


def test_names_are_one_when_their_normal_forms_are(tmp_path):
    """A.B and a_b are the name a-b: only the first along sys.path is taken."""
    first, second = tmp_path / "first", tmp_path / "second"
    dist_info(first, "A.B-1.0.dist-info", {"Name": "A.B", "Version": "1.0"}, {"x": "from_first"})
    dist_info(second, "a_b-2.0.dist-info", {"Name": "a_b", "Version": "2.0"}, {"x": "from_second"})
    dist_info(second, "Other-1.0.dist-info", {"Name": "Other", "Version": "1.0"}, {"o": "other"})
    assert own_entry_points(tmp_path, first, second) == (
        "[('x', 'from_first'), ('o', 'other')]\n")


def module(name, version):
    return "%s_%s" % (name, version.replace("!", "_"))


def test_of_two_copies_in_one_directory_the_higher_version_is_taken(tmp_path):
    """Versions compare by their release numbers, not as texts."""
    site = tmp_path / "site"
    pairs = [("9.0", "10.0"), ("1.9", "1.10"), ("2.5", "1!0.1"), ("1.0rc1", "1.0.1")]
    for number, (lower, higher) in enumerate(pairs):
        name = "copy%d" % number
        for version in (higher, lower):
            dist_info(site, "%s-%s.dist-info" % (name, version.replace("!", "_")),
                      {"Name": name, "Version": version}, {name: module(name, version)})
    assert own_entry_points(tmp_path, site) == "%s\n" % [
        ("copy%d" % number, module("copy%d" % number, higher))
        for number, (_, higher) in enumerate(pairs)]


LOADS = {
    "plug/__init__.py": "",
    "plug/sub.py": "class Outer:\n    class Inner:\n        pass\n",
}


def load(tmp_path, value, code):
    """Runs `code` with `entry` bound to the own enumerator's entry point of `value`."""
    site = tmp_path / "site"
    dist_info(site, "plug-1.0.dist-info", {"Name": "plug", "Version": "1.0"}, {"it": value}, LOADS)
    return run_py(tmp_path, script(OWN, """
        sys.path.insert(0, %r)
        (entry,) = [e for e in m.iter_entry_points("plexor.plugins", "it")]
    """ % str(site), code))


def test_a_missing_attribute_raises_import_error_from_the_attribute_error(tmp_path):
    out = load(tmp_path, "plug.sub:Outer.Missing", """
        try:
            entry.load()
        except ImportError as error:
            cause = error.__cause__
            print(type(error).__name__, type(cause).__name__, str(error) == str(cause),
                  error.__suppress_context__)
    """)
    assert out == "ImportError AttributeError True True\n"


def test_load_imports_through_builtins_import_and_follows_the_attributes(tmp_path):
    out = load(tmp_path, "plug.sub:Outer.Inner", """
        import builtins
        calls = []
        real_import = builtins.__import__

        def hook(name, *args, **kwargs):
            calls.append((name, args, kwargs))
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        loaded = entry.load()
        builtins.__import__ = real_import
        print(calls[0], loaded.__qualname__, loaded.__module__)
    """)
    assert out == ("('plug.sub', (), {'fromlist': ['__name__'], 'level': 0}) "
                   "Outer.Inner plug.sub\n")


# Every group of every distribution on sys.path, as each enumerator lists it: the
# entry point's name and module, and its distribution's normal name.
LISTING = """
        import json, re
        from importlib import metadata
        groups = sorted({ep.group for dist in metadata.distributions()
                         for ep in dist.entry_points})

        def normal(name):
            return re.sub(r"[-_.]+", "-", name).lower()

        print(json.dumps({"path": sys.path, "by_name": BY_NAME, "entry_points": {
            group: [[ep.name, ep.module_name, normal(DIST_NAME(ep))] for ep in ITER(group=group)]
            for group in groups}}))
"""
# pkg_resources adds the directory of setuptools' own vendored distributions to
# sys.path; the own enumerator then walks the same path.
ORACLE = """
        import sys, warnings
        warnings.simplefilter("ignore")
        try:
            import pkg_resources
        except ImportError:  # setuptools 82 and later: pip's own copy
            from pip._vendor import pkg_resources
        ITER = pkg_resources.iter_entry_points
        DIST_NAME = lambda ep: ep.dist.project_name
        # Before setuptools 67 (or so), pkg_resources lists a directory's
        # distributions by version, highest first, rather than by name.
        import inspect
        BY_NAME = "_by_version_descending(" not in inspect.getsource(pkg_resources.find_on_path)
"""


def test_own_enumerator_lists_what_pkg_resources_lists(tmp_path):
    """Over every group of what this environment holds, in the same order."""
    expected = json.loads(run_py(tmp_path, script(ORACLE, LISTING)))
    own = json.loads(run_py(tmp_path, script(OWN, """
        sys.path[:] = %r
        ITER = m.iter_entry_points
        DIST_NAME = lambda ep: ep.dist.metadata["Name"]
        BY_NAME = True
    """ % expected["path"], LISTING)))
    if not expected["by_name"]:  # an old pkg_resources: the same entry points, in its order
        own["entry_points"] = {group: sorted(listed, key=expected["entry_points"][group].index)
                               for group, listed in own["entry_points"].items()}
        own["by_name"] = False
    assert own == expected
    listed = own["entry_points"]
    assert ["demo", "plexor_ext_demo", "plexor-ext-demo"] in listed["plexor.plugins"]
    assert len(listed) > 1 and sum(map(len, listed.values())) > 1
