"""The push mode's options: their checks, and what they give at start (the
credentials header, the TLS context).

What it promises:
- A value an option cannot take, or options that do not go together, is a
  usage error naming the option (argparse's, exit 2): credentials in the
  URL, credentials over plain http without --remote-write.allow-insecure, a
  --label that is not a valid label, and the like.
- Credentials come from regular files only, read at start and again before
  a request whenever the file changed (a rotated token is used without a
  restart); an error names the file, never its content. At start an
  unreadable file is an error; later the previous credentials stay in use
  and one line says why.
- TLS uses the system's CAs, or those of --remote-write.ca-file instead, and
  TLS 1.2 at least.
"""

from __future__ import annotations

import argparse
import base64
import os
import re
import ssl
import stat
from typing import Callable, Dict, Optional, Tuple
from urllib.parse import SplitResult, urlsplit

from .families import FAMILIES
from .spool import BLOCK

DEFAULT_BUFFER_DIR = "/var/lib/quillmere-exporter"
# 24 h at 15 s is 5760 batches; a batch of this host's families takes one
# 4 KiB block (about 1.4 KiB compressed), so 64 MiB holds them even if each
# grew to 8 KiB, and 3 days as they are.
DEFAULT_MAX_BYTES = 64 << 20
SECRET_LIMIT = 64 << 10  # bytes read from a credentials file


LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")


def _url(text: str) -> SplitResult:
    try:
        url = urlsplit(text)
        url.port  # noqa: B018 - raises ValueError for a port out of range
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a URL: {error}") from None
    if url.scheme not in ("http", "https") or not url.hostname:
        raise argparse.ArgumentTypeError(f"must be an http:// or https:// URL with a host, not {text!r}")
    if url.username is not None or url.password is not None:
        raise argparse.ArgumentTypeError("must not carry credentials: give them in files "
                                         "(--remote-write.bearer-token-file or --remote-write.basic-auth-*)")
    if url.fragment:
        raise argparse.ArgumentTypeError("must not have a #fragment")
    return url


def _label(text: str) -> Tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or not LABEL_NAME.fullmatch(name) or name.startswith("__"):
        raise argparse.ArgumentTypeError(f"must be NAME=VALUE with a label name ([a-zA-Z_][a-zA-Z0-9_]*, "
                                         f"not starting with __), not {text!r}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"the value of {name} is not valid UTF-8") from None
    if not value:
        raise argparse.ArgumentTypeError(f"the value of {name} is empty (an empty label is no label)")
    return name, value


def _size(text: str) -> int:
    match = re.fullmatch(r"([0-9]{1,15})([KMG]?)", text)
    size = int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2)] if match else -1
    if not BLOCK <= size <= 1 << 40:
        raise argparse.ArgumentTypeError(f"must be a number of bytes from {BLOCK} to 1T, with an optional "
                                         f"K, M or G (powers of 1024), not {text!r}")
    return size


def nonempty(text: str) -> str:
    """An argument type: any text but the empty one (a path, an address)."""
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def default_buffer_dir() -> str:
    # systemd sets STATE_DIRECTORY for a unit with StateDirectory=.
    return os.environ.get("STATE_DIRECTORY", "").split(":")[0] or DEFAULT_BUFFER_DIR


# (option, attribute): the options that only mean something with --remote-write.
OPTIONS = [("--label", "labels"), ("--remote-write.buffer-dir", "rw_buffer_dir"),
           ("--remote-write.buffer-max-bytes", "rw_buffer_max_bytes"), ("--remote-write.ca-file", "rw_ca_file"),
           ("--remote-write.cert-file", "rw_cert_file"), ("--remote-write.key-file", "rw_key_file"),
           ("--remote-write.bearer-token-file", "rw_bearer_token_file"),
           ("--remote-write.basic-auth-username", "rw_basic_auth_username"),
           ("--remote-write.basic-auth-password-file", "rw_basic_auth_password_file"),
           ("--remote-write.allow-insecure", "rw_allow_insecure")]


def add_arguments(parser: argparse.ArgumentParser, pushed_too: str) -> None:
    """The push options; `pushed_too` lists the families pushed beside the host's."""
    group = parser.add_argument_group(
        "push (remote write)",
        "Pushes the same families every --every seconds (default 15) to a remote-write receiver, with "
        "job=\"quillmere\" and instance=<host name>, queueing on disk while it cannot be reached. Also pushed:\n"
        + pushed_too)
    group.add_argument("--remote-write", metavar="URL", type=_url,
                       help="push to this remote-write URL (https://host/api/v1/write) instead of serving HTTP")
    group.add_argument("--label", metavar="NAME=VALUE", dest="labels", type=_label, action="append",
                       help="add this label to every pushed series (repeatable; instance=... replaces the host name)")
    group.add_argument("--remote-write.buffer-dir", metavar="DIR", dest="rw_buffer_dir", type=nonempty,
                       help="where batches wait while the receiver cannot be reached (made mode 0700; default "
                            f"$STATE_DIRECTORY, else {DEFAULT_BUFFER_DIR})")
    group.add_argument("--remote-write.buffer-max-bytes", metavar="BYTES", dest="rw_buffer_max_bytes", type=_size,
                       help=f"bound of that queue; the oldest batches are dropped beyond it (default "
                            f"{DEFAULT_MAX_BYTES >> 20}M: a day at 15 s, with room)")
    group.add_argument("--remote-write.ca-file", metavar="FILE", dest="rw_ca_file", type=nonempty,
                       help="trust the CAs in FILE instead of the system's")
    group.add_argument("--remote-write.cert-file", metavar="FILE", dest="rw_cert_file", type=nonempty,
                       help="client certificate (PEM), for receivers that ask for one")
    group.add_argument("--remote-write.key-file", metavar="FILE", dest="rw_key_file", type=nonempty,
                       help="its private key, when not in the certificate file")
    group.add_argument("--remote-write.bearer-token-file", metavar="FILE", dest="rw_bearer_token_file", type=nonempty,
                       help="send the token in FILE as Authorization: Bearer")
    group.add_argument("--remote-write.basic-auth-username", metavar="USER", dest="rw_basic_auth_username",
                       type=nonempty, help="basic authentication user (with the password file)")
    group.add_argument("--remote-write.basic-auth-password-file", metavar="FILE",
                       dest="rw_basic_auth_password_file", type=nonempty, help="basic authentication password")
    group.add_argument("--remote-write.allow-insecure", dest="rw_allow_insecure", action="store_true", default=None,
                       help="allow credentials over plain http (they can then be read on the way)")


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors among the push options (parser.error exits 2)."""
    if args.remote_write is None:
        for option, attribute in OPTIONS:
            if getattr(args, attribute) is not None:
                parser.error(f"{option} needs --remote-write")
        return
    if args.textfile is not None:
        parser.error("--remote-write and --textfile are two modes: choose one")
    own = {name for row in FAMILIES for name in row.labels}
    seen = set()
    for name, _ in args.labels or ():
        if name in own:
            parser.error(f"argument --label: {name} is a label of quillmere's own series")
        if name in seen:
            parser.error(f"argument --label: {name} is given twice")
        seen.add(name)
    https = args.remote_write.scheme == "https"
    for option, attribute in OPTIONS[3:6]:
        if getattr(args, attribute) is not None and not https:
            parser.error(f"{option} needs an https:// URL")
    if args.rw_key_file is not None and args.rw_cert_file is None:
        parser.error("--remote-write.key-file needs --remote-write.cert-file")
    basic = (args.rw_basic_auth_username, args.rw_basic_auth_password_file)
    if (basic[0] is None) != (basic[1] is None):
        parser.error("--remote-write.basic-auth-username and --remote-write.basic-auth-password-file go together")
    if basic[0] is not None and args.rw_bearer_token_file is not None:
        parser.error("choose one of bearer token and basic authentication")
    if (basic[0] is not None or args.rw_bearer_token_file is not None) and not https and not args.rw_allow_insecure:
        parser.error("credentials over plain http can be read on the way: use an https:// URL, "
                     "or --remote-write.allow-insecure")



def read_secret(path: str, what: str) -> str:
    """The secret in `path`, without surrounding blanks. OSError or
    ValueError name the file, never its content."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"the {what} file {path} is not a regular file")
        data = os.read(fd, SECRET_LIMIT + 1)
    finally:
        os.close(fd)
    try:
        secret = data.decode("utf-8").strip()
    except UnicodeDecodeError:
        secret = ""
    if len(data) > SECRET_LIMIT or not secret or any(ord(c) < 0x20 or ord(c) == 0x7F for c in secret):
        raise ValueError(f"the {what} in {path} is empty, too long or has characters a header cannot carry")
    return secret


def authorization(args: argparse.Namespace) -> Dict[str, str]:
    if args.rw_bearer_token_file is not None:
        token = read_secret(args.rw_bearer_token_file, "bearer token")
        if not token.isascii():
            raise ValueError(f"the bearer token in {args.rw_bearer_token_file} is not ASCII")
        return {"Authorization": f"Bearer {token}"}
    if args.rw_basic_auth_password_file is not None:
        password = read_secret(args.rw_basic_auth_password_file, "password")
        pair = f"{args.rw_basic_auth_username}:{password}".encode()
        return {"Authorization": "Basic " + base64.b64encode(pair).decode()}
    return {}


class Credentials:
    """The Authorization header, read again when its file changes (another
    inode, size or modification time: a rotation by rename or in place).
    Construction raises what authorization() raises."""

    def __init__(self, args: argparse.Namespace, log: Callable[[str], None]) -> None:
        self._args = args
        self._log = log
        self._path = args.rw_bearer_token_file or args.rw_basic_auth_password_file
        self._seen = self._identity()
        self._header = authorization(args)

    def _identity(self) -> Optional[Tuple[int, int, int, int]]:
        if self._path is None:
            return None
        try:
            info = os.stat(self._path)
        except OSError:
            return None
        return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns

    def header(self) -> Dict[str, str]:
        if self._path is None:
            return self._header
        seen = self._identity()
        if seen != self._seen:
            self._seen = seen
            try:
                self._header = authorization(self._args)
            except (OSError, ValueError) as error:
                reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
                self._log(f"cannot read the changed credentials file {self._path}: {reason}; "
                          "the previous credentials stay in use")
        return self._header


def tls_context(args: argparse.Namespace) -> Optional[ssl.SSLContext]:
    if args.remote_write.scheme != "https":
        return None
    context = ssl.create_default_context(cafile=args.rw_ca_file)  # the system's CAs without a file
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if args.rw_cert_file is not None:
        context.load_cert_chain(args.rw_cert_file, args.rw_key_file)
    return context
