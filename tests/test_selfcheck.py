"""The import-time self-check of libcrypto: a wrong known answer of MD5,
HMAC-SHA-256 or AES-CBC fails the import with a clear error; a refused
algorithm does not (each call raising it then says so itself)."""
import pytest

from conftest import run_python

ANSWERS = {
    "md5": ("MD5", "900150983cd24fb0d6963f7d28e17f72"),
    "hmac": ("HMAC-SHA-256", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
    "aes": ("AES-128-CBC", "nwp+zgTJkqMCBvAsgetp5zH2FBYKwlEjUwWN2Swzgcg="),
}


def flipped(answer):
    return ("1" if answer[0] == "0" else "0") + answer[1:]


@pytest.mark.parametrize("which", sorted(ANSWERS))
def test_wrong_known_answer_fails_the_import(which):
    # The hook makes the check expect another answer: what a libcrypto that
    # computes wrongly looks like to the module.
    algorithm, answer = ANSWERS[which]
    proc = run_python("import vqspecapisdk", env={"_VQSDK_SELFCHECK_FAULT": which})
    assert proc.returncode == 1
    assert proc.stderr.strip().splitlines()[-1] == (
        "ImportError: vqspecapisdk: libcrypto failed its self-check: %s of the known input gave %s, "
        "expected %s; this build of the module cannot be used" % (algorithm, answer, flipped(answer)))


@pytest.mark.parametrize("fault", ["", "sha1", "MD5"])
def test_no_fault_or_unknown_hook_value_imports(fault):
    proc = run_python("import vqspecapisdk as m; print(m.__version__, m.SDK_VERSION)",
                      env={"_VQSDK_SELFCHECK_FAULT": fault})
    assert (proc.returncode, proc.stderr) == (0, "")
    version, sdk_version = proc.stdout.split()
    assert sdk_version == "python-" + version
