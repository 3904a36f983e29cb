# Snapshots of a Wine prefix, for the tests whose commands must leave it as
# they found it. Sourced; needs $wine_bin, $WINEPREFIX, $work and $c (the
# prefix's drive_c).
#
# The whole registry (in text) and the files of drive_c, less what Wine
# changes on its own: its display state (Control\Video, DEVICEMAP\VIDEO: new
# GUIDs whenever its desktop starts), its count of services.exe starts
# (ServiceCurrent), the "Linked" flags its device services set as devices
# come and go, the network cards it lists the first time a program asks
# (NetworkCards); and what msiexec leaves once its last product is gone: its
# empty bookkeeping keys (a product's own keys have GUID names, and their
# values are kept) and the empty folder windows/Installer (a package cached
# in it is kept).
export wine_keys='\\Control\\(Video|ServiceCurrent)(\\|\]$)|\\DEVICEMAP\\VIDEO\]$|\\CurrentVersion\\NetworkCards(\\|\]$)'
export msi_keys='^\[HKEY_LOCAL_MACHINE\\Software\\(Classes|Microsoft\\Windows\\CurrentVersion)\\Installer(\\(Features|Products|UpgradeCodes|UserData(\\S-1-5-18(\\(Components|Products))?)?))?\]$'
snapshot() {
  "$wine_bin" regedit /E "$work/$1.reg" 2>/dev/null
  iconv -f UTF-16 -t UTF-8 "$work/$1.reg" | tr -d '\r' | awk '
    /^\[/ { own = $0 ~ ENVIRON["wine_keys"]; if ($0 ~ ENVIRON["msi_keys"]) next }
    !own && NF && !/^"Linked"=/' >"$work/$1.txt"
  (cd "$c" && find . | grep -vx ./windows/Installer | sort) >"$work/$1.files"
}
