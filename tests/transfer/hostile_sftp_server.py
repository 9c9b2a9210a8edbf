#!/usr/bin/python3
"""A hostile SFTP server for the ferrix tests: its listings name things outside the directory being
downloaded, carry terminal escape sequences, and claim sizes its files do not have.

   hostile_sftp_server.py ROOT   prints the port it listens on (127.0.0.1), serves until stdin closes.
Anyone may log in. ROOT holds the real files that the server serves.
"""
import asyncio
import os
import sys
import warnings

warnings.simplefilter("ignore")
import asyncssh  # noqa: E402

REGULAR = 0o100644
DIRECTORY = 0o040755
HUGE = 1 << 62


def name(filename, permissions, size):
    return asyncssh.SFTPName(filename, b"", asyncssh.SFTPAttrs(permissions=permissions, size=size))


class HostileSFTP(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=sys.argv[1].encode())

    def listdir(self, path):
        # Every listing: traversal, a slash, an escape sequence, a real file and a real directory.
        return [
            name(b".", DIRECTORY, 0),
            name(b"..", DIRECTORY, 0),
            name(b"../escaped", REGULAR, 5),
            name(b"sub/../../escaped-too", REGULAR, 5),
            name(b"/etc/ferrix-hostile", REGULAR, 5),
            name(b"\x1b]0;owned\x07\x1b[31mred", REGULAR, 5),
            name(b"huge", REGULAR, HUGE),
        ] + ([name(b"inner", DIRECTORY, 0)] if path.rstrip(b"/").endswith(b"tree") else [])

    def stat(self, path):
        if path.endswith(b"huge"):
            return asyncssh.SFTPAttrs(permissions=REGULAR, size=HUGE)
        return super().stat(path)

    def fstat(self, file_obj):
        attrs = super().fstat(file_obj)
        if os.path.basename(file_obj.name) == "huge":
            return asyncssh.SFTPAttrs(permissions=REGULAR, size=HUGE)
        return attrs


class OpenDoor(asyncssh.SSHServer):
    def begin_auth(self, username):
        return False


async def main():
    key = asyncssh.generate_private_key("ssh-ed25519")
    server = await asyncssh.listen("127.0.0.1", 0, server_host_keys=[key], server_factory=OpenDoor,
                                   sftp_factory=HostileSFTP, allow_scp=False)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


asyncio.run(main())
