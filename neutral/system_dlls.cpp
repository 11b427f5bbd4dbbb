#include "neutral/system_dlls.h"

#include <string.h>

#include <algorithm>

namespace {

// Sorted, lower case. DLLs that only some editions hold (the media
// libraries missing from "N" editions), that came after Windows 7 without
// an update for it (shcore.dll), or that belong to the system's inner
// workings rather than to its documented interfaces are left out.
const char* const system_dlls[] = {
    "activeds.dll", "advapi32.dll", "authz.dll", "avicap32.dll", "avifil32.dll", "avrt.dll", "bcrypt.dll",
    "cabinet.dll", "cfgmgr32.dll", "comctl32.dll", "comdlg32.dll", "credui.dll", "crypt32.dll",
    "cryptnet.dll", "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll", "d3d11.dll", "d3d9.dll",
    "d3dcompiler_47.dll", "dbghelp.dll", "dciman32.dll", "ddraw.dll", "dhcpcsvc.dll", "dinput8.dll", "dnsapi.dll",
    "dsound.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "esent.dll", "fltlib.dll", "fwpuclnt.dll",
    "gdi32.dll", "gdiplus.dll", "glu32.dll", "hid.dll", "hlink.dll", "httpapi.dll", "imagehlp.dll",
    "imm32.dll", "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ksuser.dll", "ktmw32.dll", "loadperf.dll",
    "lz32.dll", "mapi32.dll", "mlang.dll", "mpr.dll", "mprapi.dll", "msacm32.dll", "mscms.dll",
    "msctf.dll", "msdmo.dll", "msftedit.dll", "msi.dll", "msimg32.dll", "msvcrt.dll", "mswsock.dll", "msxml3.dll",
    "msxml6.dll", "ncrypt.dll", "netapi32.dll", "newdev.dll", "normaliz.dll", "ntdll.dll", "ntdsapi.dll",
    "odbc32.dll", "ole32.dll", "oleacc.dll", "oleaut32.dll", "oledlg.dll", "opengl32.dll", "pdh.dll",
    "powrprof.dll", "propsys.dll", "psapi.dll", "qwave.dll", "rasapi32.dll", "riched20.dll", "riched32.dll",
    "rpcrt4.dll", "rstrtmgr.dll", "secur32.dll", "sensapi.dll", "setupapi.dll", "sfc.dll", "shell32.dll",
    "shfolder.dll", "shlwapi.dll", "slc.dll", "snmpapi.dll", "t2embed.dll", "tapi32.dll", "tbs.dll",
    "tdh.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll", "userenv.dll", "usp10.dll", "uxtheme.dll",
    "version.dll", "virtdisk.dll", "vssapi.dll", "wer.dll", "wevtapi.dll", "windowscodecs.dll", "winhttp.dll",
    "wininet.dll", "winmm.dll", "winscard.dll", "winspool.drv", "wintrust.dll", "winusb.dll", "wlanapi.dll",
    "wldap32.dll", "ws2_32.dll", "wsock32.dll", "wtsapi32.dll", "xinput9_1_0.dll", "xmllite.dll",
};

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

std::string dll_name_key(const std::string& name)
{
    std::string key = name;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (key.find('.') == std::string::npos) {
        key += ".dll";
    }
    return key;
}

bool is_system_dll(const std::string& name)
{
    std::string key = dll_name_key(name);
    if (starts_with(key, "api-ms-")) {
        return true;
    }
    return std::binary_search(std::begin(system_dlls), std::end(system_dlls), key,
                              [](const std::string& a, const std::string& b) { return a < b; });
}
