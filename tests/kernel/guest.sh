#!/bin/bash
echo guest up; uname -r; cat /proc/uptime; ls /dev/uhid; id
echo 0 > /run/results/status
