"""An RFC 3161 time-stamp token for a signature, asked of a time-stamp server over HTTP."""
import hashlib
import http.client
import secrets
import urllib.error
import urllib.request

from asn1crypto import tsp

from command_line import Refusal

GRANTED = ("granted", "granted_with_mods")


def post(url, query, timeout):
    request = urllib.request.Request(url, data=query,
                                     headers={"Content-Type": "application/timestamp-query"})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.read()
    except urllib.error.HTTPError as error:
        status = f"HTTP {error.code} {error.reason}"
        raise Refusal(f"time-stamp server {url} answered {status}") from None
    except (OSError, http.client.HTTPException) as error:
        reason = getattr(error, "reason", error)
        if isinstance(reason, TimeoutError):
            raise Refusal(f"time-stamp server {url} did not answer within {timeout:g} s") from None
        raise Refusal(f"cannot reach time-stamp server {url}:"
                      f" {getattr(reason, 'strerror', None) or reason}") from None


def request_token(url, signature_value, timeout):
    """The server's time-stamp token (a CMS ContentInfo) for `signature_value`, checked to be
    for exactly that: its imprint is the SHA-256 of it, and it carries the nonce we sent."""
    imprint = hashlib.sha256(signature_value).digest()
    nonce = secrets.randbits(63)
    query = tsp.TimeStampReq({
        "version": "v1",
        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"}, "hashed_message": imprint},
        "nonce": nonce,
        "cert_req": True,
    })
    reply = post(url, query.dump(), timeout)
    try:
        response = tsp.TimeStampResp.load(reply)
        status = response["status"]["status"].native
        if status not in GRANTED:
            text = "; ".join(response["status"]["status_string"].native or [])
            raise Refusal(f"time-stamp server {url} refused: {status}{': ' + text if text else ''}")
        token = response["time_stamp_token"]
        stamped = token["content"]["encap_content_info"]["content"].parsed
        for_us = (stamped["message_imprint"]["hashed_message"].native == imprint
                  and stamped["nonce"].native == nonce)
    except (ValueError, TypeError, KeyError):
        raise Refusal(f"time-stamp server {url} sent no time-stamp reply") from None
    if not for_us:
        raise Refusal(f"the time-stamp from {url} is not for this signature")
    return token
