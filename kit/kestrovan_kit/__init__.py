"""The modules of the packager's kit: the launcher's image checks, the installation check, the
Authenticode signature, checksum files, the icon format, and the one boundary between the kit
and the untrusted files it reads."""
