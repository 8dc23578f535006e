#!/bin/sh
# vireo-xferlog: lists the file manager's transfer log (administrators only).
exec cat /usr/vireo/var/log/filebrowser-xfer.log
