#!/bin/sh
# small_disk.sh mount|unmount FOLDER: a 64 KB tmpfs at FOLDER for the Windows full-disk test, which reaches it
# through Wine's Z: drive. Mounting needs root; without it this says so and succeeds, and that test skips.
set -u
action=$1
folder=$2
case $action in
mount)
    mkdir -p "$folder" || exit 1
    # A run that was cut short may have left its tmpfs behind: start from an empty one.
    if mountpoint -q "$folder"; then
        umount "$folder" || exit 1
    fi
    if ! out=$(mount -t tmpfs -o size=64k,mode=0777 tmpfs "$folder" 2>&1); then
        echo "small_disk.sh: cannot mount a tmpfs on $folder ($out): the full-disk test will skip (it needs root)"
    fi
    ;;
unmount)
    if mountpoint -q "$folder"; then
        umount "$folder" || exit 1
    fi
    ;;
*)
    echo "usage: small_disk.sh mount|unmount FOLDER" >&2
    exit 2
    ;;
esac
