"""The shipped stubs name every method with the parameters, defaults and
kinds the module declares."""

import ast
import inspect
import pathlib

import pytest

import tessellar

STUBS = pathlib.Path(__file__).resolve().parent.parent / "src" / "python" / "tessellar" / "tessellar.pyi"
CLASSES = ["StringInternerCore", "EntityCore", "CollectionCore", "EntityFrame"]


def stub_members():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for class_name in CLASSES:
        for node in classes[class_name].body:
            if isinstance(node, ast.FunctionDef) and not any(
                isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list
            ):
                yield class_name, node


def stub_parameters(node):
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + [ast.literal_eval(d) for d in node.args.defaults]
    params = [(a.arg, d) for a, d in zip(args, defaults)]
    return params[1:] if params and params[0][0] in ("self", "cls") else params


def runtime_parameters(class_name, name):
    target = getattr(tessellar, class_name)
    signature = inspect.signature(target if name == "__new__" else getattr(target, name))
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in signature.parameters.values()
        if p.name != "self"
    ]


@pytest.mark.parametrize("class_name, node", list(stub_members()), ids=lambda v: getattr(v, "name", v))
def test_stub_parameters_match_the_declarations(class_name, node):
    assert stub_parameters(node) == runtime_parameters(class_name, node.name)


def test_every_method_has_a_stub():
    stubbed = {(c, node.name) for c, node in stub_members()}
    for class_name in CLASSES:
        cls = getattr(tessellar, class_name)
        for name, member in vars(cls).items():
            if callable(member) or isinstance(member, staticmethod):
                if not name.startswith("__") or name == "__new__":
                    assert (class_name, name) in stubbed, (class_name, name)
