# Shell pieces the benchmark scripts share; sourced, not run.

# make_live_input FILE: the 10 s 1080p25 H.264 Annex-B input of the live
# benchmarks (4 Mbit/s, a key frame every second, no B-frames), made with
# ffmpeg unless FILE already exists.
make_live_input() {
    local input=$1
    [ -s "$input" ] && return 0
    echo "making $input (1080p25 H.264, 4 Mbit/s, a key frame every second, no B-frames)" >&2
    mkdir -p "$(dirname "$input")"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 \
        -c:v libx264 -preset veryfast -profile:v main -bf 0 -pix_fmt yuv420p \
        -g 25 -keyint_min 25 -sc_threshold 0 -b:v 4M -maxrate 4M -bufsize 4M \
        -x264-params log-level=error -f h264 "$input.tmp"
    mv "$input.tmp" "$input"
}

# stop_server: stops the server whose pid is in server_pid (SIGINT, then
# SIGKILL after 10 s) and clears server_pid.
server_pid=
stop_server() {
    [ -n "$server_pid" ] || return 0
    kill -INT "$server_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

# cpu_pressure: the kernel's CPU pressure (the share of time some task
# waited for a CPU), for the figures' context.
cpu_pressure() {
    sed -n 's/^some avg10=\([0-9.]*\) avg60=\([0-9.]*\).*/cpu pressure avg10 \1 %, avg60 \2 %/p' /proc/pressure/cpu 2>/dev/null
}

# private_network_up: in a fresh network namespace, loopback up and a
# second interface with an address of its own.  Until live555 finds a
# non-loopback address of this machine, every Groupsock read looks for one
# again (host name, interface list, a multicast probe); with loopback alone
# it never finds one, and a client receiving many streams (the load client)
# then spends most of its time looking, and so does a server on each RTCP
# report.  A device on a network has its address.
private_network_up() {
    ip link set lo up
    if ! { ip link add yvk-bench type bridge && ip addr add 10.255.255.1/24 dev yvk-bench &&
           ip link set yvk-bench up; } 2>/dev/null; then
        echo "bench: no interface beside loopback; live555 clients look for their address on every packet" >&2
    fi
}

# client_network_up: the clients' network namespace behind a veth pair, as
# if they sat on another machine.  The server's end segments UDP in software
# as it sends (a device's NIC has no UDP segmentation offload); the clients'
# end receives in a kernel thread of its own (threaded NAPI), so a server's
# CPU holds its own send path but not its clients' receive path, which on
# loopback runs in the sender's system calls and is charged to it.  A queue
# on the server's end holds a burst (a key frame to 128 clients) while that
# thread drains the link, as a NIC's queue would.  Sets server_address,
# in_clients (the command prefix that runs a client there) and
# client_network_pid (kill it to drop the namespace).
client_network_up() {
    local holder_pid
    unshare --net sleep infinity &
    holder_pid=$!
    client_network_pid=$holder_pid
    for _ in $(seq 50); do
        [ "$(readlink /proc/$holder_pid/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
        sleep 0.02
    done
    in_clients=(nsenter "--net=/proc/$holder_pid/ns/net")
    ip link add yvk-server type veth peer name yvk-clients netns "$holder_pid"
    ip addr add 10.255.254.1/24 dev yvk-server
    ethtool -K yvk-server tx-udp-segmentation off tso off >/dev/null
    tc qdisc replace dev yvk-server root pfifo limit 100000
    ip link set yvk-server up
    "${in_clients[@]}" sh -c '
        ip link set lo up &&
        ip addr add 10.255.254.2/24 dev yvk-clients &&
        ethtool -K yvk-clients gro on >/dev/null &&
        ip link set yvk-clients up &&
        unshare --mount --propagation unchanged sh -c \
            "mount -t sysfs sysfs /sys && echo 1 >/sys/class/net/yvk-clients/threaded"'
    server_address=10.255.254.1
    client_network_pid=$holder_pid
}
