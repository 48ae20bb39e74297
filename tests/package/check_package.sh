#!/usr/bin/env bash
# The Debian packages, checked as a machine would receive them:
#   check_package.sh build OUT CPACK BUILD_DIR   makes both packages with CPack into OUT
#   check_package.sh contents OUT                the files of each package, their control data
#   check_package.sh unit OUT                    systemd-analyze verify of the shipped unit
#   check_package.sh lintian OUT                 lintian finds no error in either package
#   check_package.sh run OUT MAKE_CT             the unpacked dicomtk: dictionary, plug-ins, serve
#   check_package.sh manual OUT                  dicomtk(1) names every option of every --help
# The environment variable DICOMTOOLKIT_VERSION gives the project's version.
# Exit status 77 (skipped) where a Debian tool the check needs is missing.
set -euo pipefail
check=$1
out=$2
version=$DICOMTOOLKIT_VERSION
runtime_deb=$out/dicomtoolkit_${version}_amd64.deb
dev_deb=$out/libdicomtoolkit-dev_${version}_amd64.deb

skip_without() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "no $tool here: skipped"; exit 77; }
  done
}
fail() {
  echo "$*" >&2
  exit 1
}

skip_without dpkg-deb
work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill -KILL "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Unpacks the runtime package into $work/root.
unpack_runtime() {
  [ -f "$runtime_deb" ] || fail "no package $runtime_deb"
  dpkg-deb -x "$runtime_deb" "$work/root"
}

case "$check" in
  build)
    cpack=$3
    build_dir=$4
    rm -rf "$out"
    mkdir -p "$out"
    "$cpack" --config "$build_dir/CPackConfig.cmake" -G DEB -B "$out" > "$work/cpack.log" 2>&1 \
      || { cat "$work/cpack.log"; fail "cpack failed"; }
    [ -f "$runtime_deb" ] && [ -f "$dev_deb" ] || { ls "$out"; fail "cpack did not write both packages"; }
    ;;

  contents)
    # Files and links of each package, without its folders.
    files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort; }
    expected_runtime='etc/default/dicomtk-serve
lib/systemd/system/dicomtk-serve.service
usr/bin/dicomtk
usr/lib/dicomtoolkit/liblumenar.so
usr/lib/dicomtoolkit/liblumenar_interactive.so
usr/lib/dicomtoolkit/libtonewell.so
usr/share/dicomtoolkit/dicom.dic
usr/share/doc/dicomtoolkit/changelog.gz
usr/share/doc/dicomtoolkit/copyright
usr/share/man/man1/dicomtk.1.gz'
    diff <(echo "$expected_runtime") <(files "$runtime_deb") || fail "dicomtoolkit holds other files than these"
    # The development package: the headers, and beside them exactly these.
    expected_dev='usr/lib/cmake/DicomToolkit/DicomToolkitConfig.cmake
usr/lib/cmake/DicomToolkit/DicomToolkitConfigVersion.cmake
usr/lib/cmake/DicomToolkit/DicomToolkitTargets-release.cmake
usr/lib/cmake/DicomToolkit/DicomToolkitTargets.cmake
usr/lib/libDicomToolkit.a
usr/lib/pkgconfig/dicomtoolkit.pc
usr/share/doc/libdicomtoolkit-dev/changelog.gz
usr/share/doc/libdicomtoolkit-dev/copyright'
    files "$dev_deb" > "$work/dev-files"
    # The targets file of the build type is named after it.
    diff <(echo "$expected_dev") <(grep -v '^usr/include/' "$work/dev-files" \
      | sed -E 's|DicomToolkitTargets-[a-z]+\.cmake$|DicomToolkitTargets-release.cmake|') \
      || fail "libdicomtoolkit-dev holds other files than the headers and these"
    for header in DicomToolkit.h dimse/StorageSopClass.h encoding/DataDictionary.h model/DataSet.h; do
      grep -qxF "usr/include/DicomToolkit/$header" "$work/dev-files" || fail "libdicomtoolkit-dev lacks $header"
    done
    if grep -E '/platform/|/CodecSupport\.h$|/StandardCodecs\.h$' "$work/dev-files"; then
      fail "libdicomtoolkit-dev holds internal headers"
    fi

    # The runtime package depends on the package of each library it links
    # (dpkg-shlibdeps), makes its user with adduser, and keeps the options
    # file as a conffile.
    depends=$(dpkg-deb -f "$runtime_deb" Depends)
    for package in adduser libc6 libstdc++6 libsqlite3-0; do
      echo "$depends" | tr ',' '\n' | sed -E 's/^ +//; s/ .*//' | grep -qxF "$package" \
        || fail "Depends lacks $package: $depends"
    done
    [ "$(dpkg-deb -f "$runtime_deb" Version)" = "$version" ] || fail "the version is not the project's $version"
    dpkg-deb -e "$runtime_deb" "$work/control"
    grep -qxF /etc/default/dicomtk-serve "$work/control/conffiles" || fail "/etc/default/dicomtk-serve is no conffile"
    grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no system user"
    # The man page is gzip'd without a name or time stamp of the build.
    dpkg-deb --fsys-tarfile "$runtime_deb" | tar -xO ./usr/share/man/man1/dicomtk.1.gz > "$work/dicomtk.1.gz"
    gzip -lv "$work/dicomtk.1.gz" >/dev/null || fail "dicomtk.1.gz is not gzip"
    [ "$(od -An -tu4 -j4 -N4 "$work/dicomtk.1.gz" | tr -d ' ')" = 0 ] || fail "dicomtk.1.gz carries a time stamp"
    ;;

  unit)
    skip_without systemd-analyze
    unpack_runtime
    unit=$work/root/lib/systemd/system/dicomtk-serve.service
    # The settings the service promises, as written.
    for line in 'User=dicomtk' 'StateDirectory=dicomtk' 'EnvironmentFile=-/etc/default/dicomtk-serve' \
                'ExecStart=/usr/bin/dicomtk serve --store-dir /var/lib/dicomtk $DICOMTK_SERVE_OPTIONS' \
                'Restart=on-failure' 'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ProtectHome=yes' \
                'PrivateTmp=yes' 'PrivateDevices=yes' 'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX' \
                'CapabilityBoundingSet=' 'WantedBy=multi-user.target'; do
      grep -qxF "$line" "$unit" || fail "the unit lacks the line $line"
    done
    grep -qE '^DICOMTK_SERVE_OPTIONS="[^"]*"$' "$work/root/etc/default/dicomtk-serve" \
      || fail "/etc/default/dicomtk-serve sets no DICOMTK_SERVE_OPTIONS"
    # systemd verifies the unit in the unpacked tree, with this machine's
    # targets beside it (the unit is ordered after them) and the package's
    # man page (its Documentation=) on MANPATH. Any line it prints is a fault.
    for target in /lib/systemd/system/*.target; do
      [ -e "$work/root/lib/systemd/system/${target##*/}" ] || cp "$target" "$work/root/lib/systemd/system/"
    done
    verify=$(MANPATH=$work/root/usr/share/man timeout 60 systemd-analyze verify --root="$work/root" \
      /lib/systemd/system/dicomtk-serve.service 2>&1) || fail "systemd-analyze verify failed: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
    ;;

  lintian)
    skip_without lintian
    # An error fails (lintian's status then is not 0); warnings are shown.
    status=0
    timeout 300 lintian --tag-display-limit 0 --fail-on error "$runtime_deb" "$dev_deb" || status=$?
    [ "$status" = 0 ] || fail "lintian found errors (status $status)"
    ;;

  run)
    make_ct=$3
    unpack_runtime
    dicomtk=$work/root/usr/bin/dicomtk
    unset DICOMTK_DICTIONARY
    # The dictionary from the package: a bare implicit VR data set holding
    # (0010,0010), length 4, "AB^C", is dumped with the element's name; the
    # program is called through PATH, as an installed one is.
    printf '\x10\x00\x10\x00\x04\x00\x00\x00AB^C' > "$work/bare.dcm"
    dumped=$(cd "$work" && PATH="$work/root/usr/bin:$PATH" timeout 30 dicomtk dump bare.dcm)
    echo "$dumped" | grep -qxF "(0010,0010) PN 4 \"AB^C\" # Patient's Name" \
      || fail "the packaged dicomtk without its dictionary: $dumped"

    # A plug-in by name, from the package's plug-in folder.
    mkdir "$work/convert"
    "$make_ct" "$work/convert" > /dev/null
    (cd "$work/convert" && PATH="$work/root/usr/bin:$PATH" timeout 30 dicomtk convert --plugin lumenar ct.dcm ct.bmp) \
      || fail "convert --plugin lumenar failed with the packaged plug-in"
    [ "$(head -c 2 "$work/convert/ct.bmp")" = BM ] || fail "convert wrote no BMP"

    # serve answers C-ECHO on a free port of 127.0.0.1, and SIGTERM ends it.
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "$dicomtk" serve --port "$port" --store-dir "$work/store" > "$work/serve.log" 2>&1 &
    server=$!
    answered=0
    for _ in $(seq 1 100); do
      if timeout 10 "$dicomtk" echo --request-timeout 5 127.0.0.1 "$port" > "$work/echo.log" 2>&1; then
        answered=1
        break
      fi
      kill -0 "$server" 2>/dev/null || { cat "$work/serve.log"; fail "serve stopped"; }
      sleep 0.1
    done
    [ "$answered" = 1 ] || { cat "$work/serve.log" "$work/echo.log"; fail "serve did not answer C-ECHO"; }
    kill -TERM "$server"
    for _ in $(seq 1 100); do
      kill -0 "$server" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$server" 2>/dev/null && fail "serve did not end on SIGTERM"
    status=0
    wait "$server" || status=$?
    server=
    [ "$status" = 0 ] || { cat "$work/serve.log"; fail "serve ended with status $status on SIGTERM"; }
    ;;

  manual)
    unpack_runtime
    dicomtk=$work/root/usr/bin/dicomtk
    manual=$(zcat "$work/root/usr/share/man/man1/dicomtk.1.gz" | sed 's/\\-/-/g')
    missing=
    for command in dump copy convert echo store serve find move get; do
      grep -qE "^\.SS $command\$" <<< "$manual" || missing+=" [section $command]"
      # The options of the usage lines (those before the first empty line).
      options=$("$dicomtk" "$command" --help | sed '/^$/q' | grep -oE '(^|[][ |])--?[a-zA-Z][a-z-]*' \
        | grep -oE -- '--?[a-zA-Z][a-z-]*' | sort -u)
      for option in $options; do
        grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<< "$manual" || missing+=" $command:$option"
      done
    done
    [ -z "$missing" ] || fail "dicomtk(1) does not describe:$missing"
    ;;

  *)
    fail "unknown check $check"
    ;;
esac
