"""The README's NumPy example must run as written."""
import os
import re

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def test_readme_example_runs(capsys):
    text = open(README).read()
    section = text[text.index("## The Python module"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(code.strip().splitlines()) <= 12
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert out.startswith("(32000,) (8,) RobustPCA(dim=8, rank=2)")
