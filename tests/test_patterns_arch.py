"""get_current_arch_value: the YAML text of the active build configuration's architecture."""

import pytest
import yaml

from vexatvm_internal import patterns


class Config:
    def __init__(self, arch_config):
        self.arch_config = arch_config


class Text(str):
    pass


@pytest.fixture
def active(monkeypatch):
    """Makes `config` the active build configuration of a stand-in BuildConfig class."""

    def activate(config):
        monkeypatch.setattr(patterns, "BuildConfig", type("BuildConfig", (), {"current": config}))

    return activate


@pytest.mark.parametrize(
    "arch_config, expected",
    [
        ({"arch": "vexa-lite", "channels": 16}, {"arch": "vexa-lite", "channels": 16}),  # text: whole mapping
        ({"arch": {"channels": 32, "name": "x"}, "other": 1}, {"channels": 32, "name": "x"}),  # inner only
        ({"arch": ["a", 1]}, ["a", 1]),
    ],
)
def test_dumps_whole_config_for_text_and_inner_value_otherwise(active, arch_config, expected):
    active(Config(arch_config))
    text = patterns.get_current_arch_value()
    assert text == yaml.safe_dump(expected)


def test_reads_the_configuration_anew_on_every_call():
    from tvm.relay.vexa.build_module import BuildConfig

    with BuildConfig(arch_config={"arch": "vexa-nano"}):
        first = patterns.get_current_arch_value()
        with BuildConfig(arch_config={"arch": {"channels": 64}}):
            second = patterns.get_current_arch_value()
        third = patterns.get_current_arch_value()
    assert (first, second, third) == ("arch: vexa-nano\n", "channels: 64\n", "arch: vexa-nano\n")


def test_str_subclass_counts_as_text_and_reaches_the_dumper(active, monkeypatch):
    active(Config({"arch": Text("vexa-pro"), "k": 1}))
    # PyYAML's safe dumper refuses str subclasses: the error propagates.
    with pytest.raises(yaml.representer.RepresenterError):
        patterns.get_current_arch_value()
    dumped = []
    monkeypatch.setattr(
        patterns, "yaml", type("Y", (), {"safe_dump": staticmethod(lambda v: dumped.append(v) or "ok")})
    )
    assert patterns.get_current_arch_value() == "ok"
    assert dumped == [{"arch": "vexa-pro", "k": 1}]  # the whole mapping, through the module's `yaml`


@pytest.mark.parametrize(
    "config, error",
    [
        (None, AttributeError),  # no active configuration
        (Config({"other": 1}), KeyError),
        (Config(None), TypeError),
        (Config({"arch": {"x": object()}}), yaml.representer.RepresenterError),
    ],
)
def test_errors_propagate(active, config, error):
    active(config)
    with pytest.raises(error):
        patterns.get_current_arch_value()
