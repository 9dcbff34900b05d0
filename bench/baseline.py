"""Interpreted reference implementation used as the benchmarks' baseline.

The same algorithms as the extension module, written the plain way: hashlib,
hmac, base64, pycryptodome's AES with Crypto.Util.Padding (block 32), json,
datetime and a threading.Lock around the log output.  Nothing here imports
the extension module, so it also serves the bench server as the platform's
side of an exchange.

Where a choice exists the quicker interpreted form is taken (sys._getframe
instead of inspect.stack(), one stdout.write per line instead of print), so
that the ratios measured against it are not inflated.
"""
import base64
import datetime
import hashlib
import hmac
import json
import os
import random
import sys
import threading
import time

from Crypto.Cipher import AES
from Crypto.Util.Padding import pad, unpad

BLOCK = 32
LOG_VER = 1
LOG_FIELD_CUSTOM_MAX_SIZE = 32768
LOG_LEVEL_ERROR = "ERR"
LOG_LEVEL_INFO = "INFO"
LOG_LEVEL_DEBUG = "DBG"

log_lock = threading.Lock()
_UTC8 = datetime.timezone(datetime.timedelta(hours=8))


# ---- message security -------------------------------------------------------

def get_signature(secret_key, body, timestamp, nonce, secret_ver):
    lines = [
        "body-md5=" + hashlib.md5(body.encode("utf-8")).hexdigest() + "\n",
        "vq-timestamp=" + str(timestamp) + "\n",
        "method=POST\n",
        "vq-nonce=" + str(nonce) + "\n",
        "vq-secret-ver=" + str(secret_ver) + "\n",
    ]
    lines.sort()
    return hmac.new(secret_key.encode("utf-8"), "".join(lines).encode("utf-8"),
                    hashlib.sha256).hexdigest()


def _aes_key(aes_key):
    key = base64.b64decode(aes_key + "=")
    return key, key[:16]


def encrypt_body(aes_key, origin_body):
    if origin_body is None or len(origin_body) == 0:
        return origin_body
    key, iv = _aes_key(aes_key)
    cipher = AES.new(key, AES.MODE_CBC, iv)
    return base64.b64encode(cipher.encrypt(pad(origin_body.encode("utf-8"), BLOCK))).decode("utf-8")


def decrypt_body(aes_key, origin_body):
    if origin_body is None or len(origin_body) == 0:
        return origin_body
    key, iv = _aes_key(aes_key)
    cipher = AES.new(key, AES.MODE_CBC, iv)
    return unpad(cipher.decrypt(base64.b64decode(origin_body)), BLOCK).decode("utf-8")


def is_digit_str(s):
    return isinstance(s, str) and s.isdigit()


# ---- log writer ---------------------------------------------------------------

def sdk_log_write(log_level, req_id, args, frame):
    file_name = ""
    line_no = ""
    while frame is not None:
        code = frame.f_code
        if code.co_name.startswith("sdk_log"):
            frame = frame.f_back
            continue
        file_name = os.path.basename(code.co_filename)
        line_no = frame.f_lineno
        break
    pid = os.getpid()
    tid = threading.current_thread().ident
    stamp = datetime.datetime.now(_UTC8).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
    custom = ""
    first = True
    for arg in args:
        if not first:
            custom += " "
        first = False
        custom += str(arg).replace("\n", " ")
        if len(custom) >= LOG_FIELD_CUSTOM_MAX_SIZE:
            custom = custom[:LOG_FIELD_CUSTOM_MAX_SIZE]
            break
    with log_lock:
        sys.stdout.write("%s,<%s,%s>,%s,%s,%s,%s,%s,%s\n" % (
            LOG_VER, pid, tid, stamp, log_level, req_id, file_name, line_no, custom))


def spec_log(log_level, req_id, *args):
    sdk_log_write(log_level, req_id, args, sys._getframe(1))


def spec_log_info(*args):
    sdk_log_write(LOG_LEVEL_INFO, "", args, sys._getframe(1))


def spec_log_error(*args):
    sdk_log_write(LOG_LEVEL_ERROR, "", args, sys._getframe(1))


def spec_log_info_with_req_id(req_id, *args):
    sdk_log_write(LOG_LEVEL_INFO, req_id, args, sys._getframe(1))


def spec_log_error_with_req_id(req_id, *args):
    sdk_log_write(LOG_LEVEL_ERROR, req_id, args, sys._getframe(1))


# ---- secret record in force ---------------------------------------------------

class SecretInfo(object):
    def parse_from_string(self, line):
        parts = line.strip().split(",")
        if len(parts) < 4:
            spec_log_error("invalid secret_key format")
            raise Exception("invalid secret_key format")
        self.ver, self.token, self.encoding_aes_key, self.program_id = parts[:4]


class SpecEnv(object):
    """Debug-mode environment only: the record is given, never loaded."""

    def __init__(self, line):
        self.is_debug_mode = True
        self.debug_secret_info = SecretInfo()
        self.debug_secret_info.parse_from_string(line)

    def get_secret_info(self):
        if self.is_debug_mode:
            return self.debug_secret_info
        raise Exception("secret_key file not exists")

    def get_key_ver(self):
        return self.get_secret_info().ver

    def get_token(self):
        return self.get_secret_info().token

    def get_encoding_aes_key(self):
        return self.get_secret_info().encoding_aes_key

    def get_program_id(self):
        return self.get_secret_info().program_id


class VQToSpecRetryNotifyException(Exception):
    def __init__(self, message, status="1"):
        Exception.__init__(self, message)
        self.message = message
        self.status = status

    def GetStatus(self):
        return self.status


# ---- inbound: request decoding and answer construction ------------------------

class VQToSpecHTTPReqDecoder(object):
    def __init__(self, env, headers, body):
        self.headers = headers
        self.body = body
        self._header_ver = None
        self._header_signature = None
        self._header_nonce = None
        self._header_timestamp = None
        self._header_req_id = ""
        self._header_timestamp_ms = None
        self._header_inqueue_timeout_ms = None
        for k, v in headers:
            k = k.lower()
            if k == "vq-secret-ver":
                self._header_ver = v
            if k == "vq-signature":
                self._header_signature = v
            if k == "vq-nonce":
                self._header_nonce = v
            if k == "vq-timestamp":
                self._header_timestamp = v
            if k == "vq-timestamp-ms":
                self._header_timestamp_ms = v
            if k == "vq-req-id":
                self._header_req_id = v
            if k == "vq-inqueue-timeout-ms":
                self._header_inqueue_timeout_ms = v

        spec_log_info_with_req_id(self._header_req_id, "VQToSpecHTTPReqDecoder init", "ver",
                                  self._header_ver, self._header_timestamp,
                                  self._header_timestamp_ms, self._header_inqueue_timeout_ms)
        if (self._header_ver is None or self._header_nonce is None
                or self._header_timestamp is None or self._header_signature is None):
            spec_log_error("VQToSpecHTTPReqDecoder Err Invalid header", headers)
            raise Exception("Invalid header")

        if self._header_ver != env.get_key_ver():
            spec_log_error_with_req_id(self._header_req_id, "ver not matched", self._header_ver,
                                       env.get_key_ver())
            raise VQToSpecRetryNotifyException("ver not matched, retry notify", "1")

        if is_digit_str(self._header_timestamp):
            beg_ms = int(self._header_timestamp) * 1000
            if is_digit_str(self._header_timestamp_ms):
                beg_ms = int(self._header_timestamp_ms)
            now_ms = int(time.time() * 1000)
            timeout_ms = 0
            if is_digit_str(self._header_inqueue_timeout_ms):
                timeout_ms = int(self._header_inqueue_timeout_ms)
            diff_ms = now_ms - beg_ms
            inqueue_timeout = timeout_ms > 0 and diff_ms > 0 and diff_ms > timeout_ms
            spec_log_info_with_req_id(self._header_req_id, "inqchk", beg_ms, now_ms, diff_ms,
                                      timeout_ms, "| timeout", inqueue_timeout)
            if inqueue_timeout:
                raise VQToSpecRetryNotifyException("inqueue timeout", "2")

        real_sign = get_signature(env.get_token(), body, self._header_timestamp,
                                  self._header_nonce, self._header_ver)
        if real_sign != self._header_signature:
            spec_log_error("VQToSpecHTTPReqDecoder Err Invalid signature, real_sign:", real_sign)
            raise Exception("Invalid signature")

        decoded_body = decrypt_body(env.get_encoding_aes_key(), body)
        body_json = json.loads(decoded_body)
        self.corpid = body_json.get("corpid", "")
        self.agentid = body_json.get("agentid", 0)
        self.data = body_json.get("data", "")
        self.call_type = body_json.get("call_type", 0)
        self.is_async = body_json.get("is_async", False)
        self.job_info = body_json.get("job_info", "")
        self.ability_id = body_json.get("ability_id", "")
        self.notify_id = body_json.get("notify_id", "")

    def get_data(self):
        return self.data

    def get_req_id(self):
        return self._header_req_id


class VQToSpecHTTPRspConstructor(object):
    def __init__(self, env, data):
        self.env = env
        self.data = data
        self.encoded_body = encrypt_body(env.get_encoding_aes_key(), data)

    def get_normal_header(self):
        env = self.env
        timestamp = str(int(time.time()))
        nonce = str(random.randrange(2147483647))
        signature = get_signature(env.get_token(), self.encoded_body, timestamp, nonce,
                                  env.get_key_ver())
        return {
            "Accept": "*/*",
            "Content-Type": "application/json",
            "vq-status": "0",
            "vq-secret-ver": env.get_key_ver(),
            "vq-signature": signature,
            "vq-nonce": nonce,
            "vq-timestamp": timestamp,
            "Content-Length": str(len(self.encoded_body)),
        }

    def get_encoded_body(self):
        return self.encoded_body


# ---- outbound: response decoding ----------------------------------------------

class SpecToVQHTTPRspDecoder(object):
    def __init__(self, env, status_code, headers, body):
        self.status_code = status_code
        self.headers = headers
        self.body = body
        self._header_ver = None
        self._header_signature = None
        self._header_nonce = None
        self._header_timestamp = None
        self._header_status = None
        for k, v in headers:
            if k == "vq-secret-ver":
                self._header_ver = v
            if k == "vq-signature":
                self._header_signature = v
            if k == "vq-nonce":
                self._header_nonce = v
            if k == "vq-timestamp":
                self._header_timestamp = v
            if k == "vq-status":
                self._header_status = v
        if self._header_ver is None and self._header_signature is None:
            spec_log_error("no encrypt headers, treat as plain", body)
            self.data = body
            self._header_status = "0"
            return
        if (self._header_ver is None or self._header_nonce is None
                or self._header_timestamp is None or self._header_signature is None
                or self._header_status is None):
            spec_log_error("SpecToVQHTTPRspDecoder Invalid header", status_code, headers, body)
            raise Exception("Invalid header")
        sign = get_signature(env.get_token(), body, self._header_timestamp, self._header_nonce,
                             self._header_ver)
        if sign != self._header_signature:
            spec_log_error("Invalid signature", sign, self._header_signature)
            raise Exception("Invalid signature")
        self.data = decrypt_body(env.get_encoding_aes_key(), body)

    def get_rsp_status(self):
        return self._header_status

    def get_data(self):
        return self.data


# ---- the platform's side, for the bench server and the request fixtures -------

def signed_answer_headers(env, wire_body, status="0"):
    """Header pairs of a signed platform answer over `wire_body`."""
    timestamp = str(int(time.time()))
    nonce = str(random.randrange(2147483647))
    return [
        ("Content-Type", "application/json; charset=utf-8"),
        ("vq-secret-ver", env.get_key_ver()),
        ("vq-signature", get_signature(env.get_token(), wire_body, timestamp, nonce,
                                       env.get_key_ver())),
        ("vq-nonce", nonce),
        ("vq-timestamp", timestamp),
        ("vq-status", status),
        ("Content-Length", str(len(wire_body))),
    ]
