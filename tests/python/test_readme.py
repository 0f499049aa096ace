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


def test_readme_stream_example_runs_after_the_first():
    import textwrap

    text = open(README).read()
    section = text[text.index("## The Python module"):text.index("## Build")]
    blocks = re.findall(r"( *)```python\n(.*?)\1```", section, re.S)
    assert len(blocks) == 2
    scope = {}
    for indent, code in blocks:
        exec(compile(textwrap.dedent(code), "README.md", "exec"), scope)
    assert "Enhancer" in blocks[1][1]
