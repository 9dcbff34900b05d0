#!/usr/bin/env python3
"""Quick start: call the platform from a provider program.

Inside the spec environment the SDK reads its secret from the secret file
and calls the platform's gateway; run it as it is:

    python3 outbound_quickstart.py

On a developer's machine, give the program's debug token and access token;
calls then go through the platform's debug relay.  VQ_DOMAIN points the SDK
at another platform, such as a local simulator:

    VQ_DEBUG_TOKEN=... VQ_ACCESS_TOKEN=... VQ_DOMAIN=https://127.0.0.1:8443 \\
        python3 outbound_quickstart.py
"""
import json
import os
import sys

import vqspecapisdk as sdk

CORPID = os.environ.get("VQ_CORPID", "wwcorp-demo")      # the customer company
AGENTID = int(os.environ.get("VQ_AGENTID", "1000001"))   # its application
ABILITY_ID = os.environ.get("VQ_ABILITY_ID", "ability-demo")
JOB_INFO = os.environ.get("VQ_JOB_INFO", "")


def main() -> int:
    domain = os.environ.get("VQ_DOMAIN", "").rstrip("/")
    if domain:
        sdk.DOMAIN = sdk.DEBUG_DOMAIN = domain
    if not sdk.is_spec_env():
        # Not in the spec environment: debug mode, with the program's tokens.
        sdk.spec_open_debug_mode(os.environ.get("VQ_DEBUG_TOKEN", ""),
                                 os.environ.get("VQ_ACCESS_TOKEN", ""))

    client = sdk.ChatDataSDK(CORPID, AGENTID, ABILITY_ID, JOB_INFO)
    try:
        # echo sends the parameter text to the platform and gets it back.
        echoed = client.echo(json.dumps({"hello": "platform"}))
        sdk.spec_log_info("echo answered:", echoed)

        # Every API takes its parameters as JSON text and answers JSON text.
        page = json.loads(client.sync_msg(json.dumps({"cursor": "", "limit": 10})))
        sdk.spec_log_info("sync_msg answered:", len(page.get("msg_list", [])), "messages, next cursor",
                          page.get("next_cursor"))
    except Exception as err:
        # A call the platform refused raises with the arguments (status, "Post Err").
        sdk.spec_log_error("call failed:", *err.args)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
