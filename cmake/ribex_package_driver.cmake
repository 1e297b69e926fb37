# The installer's driver steps: with the driver component selected, copy
# vcan.sys to the system's driver folder, create the demand-start kernel
# service "vcan" (four devices VCAN1..VCAN4, 64 frames per server read, as
# vcan_service.sh writes) and try to start it (Windows
# refuses unless test signing is on). A marker value records that the
# service is ours, so the uninstaller removes only what it made.
# (NSIS text, verbatim: CPACK_VERBATIM_VARIABLES is on.)
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  SectionGetFlags ${driver} $0
  IntOp $0 $0 & ${SF_SELECTED}
  StrCmp $0 ${SF_SELECTED} 0 ribex_driver_done
    DetailPrint "Virtual CAN driver: Windows loads it only in test-signing mode \
(driver\WINDOWS_TEST_SIGNING.md)."
    CopyFiles /SILENT "$INSTDIR\driver\vcan.sys" "$SYSDIR\drivers\vcan.sys"
    nsExec::Exec '"$SYSDIR\sc.exe" create vcan type= kernel start= demand \
binPath= "$SYSDIR\drivers\vcan.sys"'
    Pop $1
    StrCmp $1 0 0 ribex_driver_done
    WriteRegDWORD HKLM "Software\ribex\ribex" "DriverService" 1
    WriteRegDWORD HKLM "SYSTEM\CurrentControlSet\Services\vcan" "DeviceCount" 4
    WriteRegStr HKLM "SYSTEM\CurrentControlSet\Services\vcan" "DevicePrefix" "VCAN"
    WriteRegDWORD HKLM "SYSTEM\CurrentControlSet\Services\vcan" "NoMsgPerRead" 64
    nsExec::Exec '"$SYSDIR\sc.exe" start vcan'
    Pop $1
  ribex_driver_done:
]=])
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  ReadRegDWORD $0 HKLM "Software\ribex\ribex" "DriverService"
  StrCmp $0 1 0 ribex_no_service
    nsExec::Exec '"$SYSDIR\sc.exe" stop vcan'
    Pop $1
    nsExec::Exec '"$SYSDIR\sc.exe" delete vcan'
    Pop $1
    ; The service goes once it has stopped: wait up to five seconds.
    StrCpy $2 0
  ribex_wait_gone:
    nsExec::Exec '"$SYSDIR\sc.exe" query vcan'
    Pop $1
    StrCmp $1 0 0 ribex_gone
    IntOp $2 $2 + 1
    IntCmp $2 50 ribex_gone
    Sleep 100
    Goto ribex_wait_gone
  ribex_gone:
    Delete /REBOOTOK "$SYSDIR\drivers\vcan.sys"
  ribex_no_service:
]=])
