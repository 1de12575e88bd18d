"""The type stub installed beside the module is what editors show on hover: every class, method,
field and enumeration member it declares carries a docstring, and the units it gives the records'
fields and the link's getters are those of the native headers. (tools/check-stubs holds the stub
to the module's names and signatures.)"""

import ast
import os
import re

import pytest

import torvane

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(os.path.dirname(torvane.__file__), "torvane.pyi")
UNITS = ("turns", "turns/s", "Nm", "A", "V", "°C", "Nm/turn", "Nm/(turns/s)", "(turns/s)/turn")


def stub_classes():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def member_docs(cls):
    """name -> docstring (None when missing) of each member a class of the stub declares:
    methods and property getters by their own docstring, annotated fields by the string after them."""
    docs = {}
    body = cls.body
    for i, node in enumerate(body):
        if isinstance(node, ast.FunctionDef):
            if any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list):
                continue  # an editor shows the getter's docstring for the property
            docs[node.name] = ast.get_docstring(node)
        elif isinstance(node, ast.AnnAssign):
            following = body[i + 1] if i + 1 < len(body) else None
            is_doc = (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                      and isinstance(following.value.value, str))
            docs[node.target.id] = following.value.value if is_doc else None
    return docs


def test_stub_documents_every_class_and_member():
    classes = stub_classes()
    assert set(classes) >= {name for name in dir(torvane) if not name.startswith("_")}
    undocumented = [name for name, cls in classes.items() if not ast.get_docstring(cls)]
    undocumented += [f"{name}.{member}" for name, cls in classes.items()
                     for member, doc in member_docs(cls).items() if not doc]
    assert undocumented == []


def header_units(path, struct):
    """field -> unit, from the trailing comments of a struct's members in a native header."""
    with open(os.path.join(REPO, path), encoding="utf-8") as f:
        body = re.search(r"struct " + struct + r" \{(.*?)\n\};", f.read(), re.S).group(1)
    units = {}
    for name, comment in re.findall(r"(\w+)(?:\{\}| = [^;]*);\s*//\s*(.*)", body):
        unit = comment.rsplit(", ", 1)[-1].strip()
        if unit in UNITS:
            units[name] = unit
    return units


def names_unit(doc, unit):
    # A unit on its own, not the start or end of a longer one ("turns" is not "turns/s").
    return re.search(r"(?<![\w/(])" + re.escape(unit) + r"(?![\w/)])", doc) is not None


@pytest.mark.parametrize("header, struct, stub_class, stub_name", [
    ("src/lowleveltypes/motor_types.hpp", "MotorCommand", "MotorCommand", lambda field: field),
    ("src/lowleveltypes/motor_types.hpp", "MotorState", "MotorState", lambda field: field),
    ("src/communication/odrive_socket.hpp", "ODriveTelemetry", "ODriveSocket",
     lambda field: "get" + field[0].upper() + field[1:]),
], ids=["MotorCommand", "MotorState", "ODriveSocket-getters"])
def test_stub_units_are_the_headers_units(header, struct, stub_class, stub_name):
    units = header_units(header, struct)
    docs = member_docs(stub_classes()[stub_class])
    by_lower = {name.lower(): name for name in docs}
    assert len(units) >= 5
    wrong = {}
    for field, unit in units.items():
        member = by_lower.get(stub_name(field).lower())
        assert member is not None, f"{stub_class} has nothing for {struct}.{field}"
        if not names_unit(docs[member], unit):
            wrong[member] = (unit, docs[member])
    assert wrong == {}
