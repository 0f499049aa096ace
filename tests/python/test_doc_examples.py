"""The Python examples of the README and docs/python.md must run as written."""
import os
import re

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def python_blocks(name):
    with open(os.path.join(ROOT, name)) as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


def test_readme_example_runs(capsys):
    blocks = python_blocks("README.md")
    assert len(blocks) == 1
    assert len(blocks[0].strip().splitlines()) <= 12
    exec(compile(blocks[0], "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert out.startswith("(32000,) (8,) RobustPCA(dim=8, rank=2)")


def test_python_page_examples_run_in_order():
    blocks = python_blocks(os.path.join("docs", "python.md"))
    assert any("Enhancer" in code for code in blocks)
    scope = {}
    for code in blocks:
        exec(compile(code, "docs/python.md", "exec"), scope)
