; Per-machine installer of kvUsbRedirector. Built by makensis with
;   makensis -DKV_EXE=<path to kvUsbRedirector.exe> -DKV_OUT=<setup exe> kvUsbRedirector.nsi
; Switches: /S silent, /DISABLEPOPUP no share question for devices, /D=<dir> install folder.
Unicode true
; A 64-bit installer for a 64-bit program: it also runs where no 32-bit subsystem exists.
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

!ifndef KV_EXE
  !error "define KV_EXE, the path of kvUsbRedirector.exe"
!endif
!ifndef KV_OUT
  !define KV_OUT "kvUsbRedirector-setup.exe"
!endif

!define KV_NAME "kvUsbRedirector"
!define KV_RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define KV_EVENT_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\kvUsbRedirector"
; The program only tests that this key exists.
!define KV_POPUP_KEY "Software\Orvik\WinUSB\DisableWarningPopup"
!define KV_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kvUsbRedirector"

Name "Kelvra USB Redirector"
OutFile "${KV_OUT}"
InstallDir "$PROGRAMFILES64\${KV_NAME}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ; The program is 64-bit: its Run value and switches live in the 64-bit registry view.
  SetRegView 64
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/DISABLEPOPUP" $1
  ${IfNot} ${Errors}
    SectionSetFlags 1 ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "kvUsbRedirector (required)" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${KV_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegExpandStr HKLM "${KV_EVENT_KEY}" "EventMessageFile" "$INSTDIR\kvUsbRedirector.exe"
  WriteRegDWORD HKLM "${KV_EVENT_KEY}" "TypesSupported" 7
  ; Every user's logon starts one instance in that user's session.
  WriteRegStr HKLM "${KV_RUN_KEY}" "${KV_NAME}" '"$INSTDIR\kvUsbRedirector.exe"'
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "DisplayName" "Kelvra USB Redirector"
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "Publisher" "Kelvra"
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kvUsbRedirector.exe"
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${KV_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${KV_UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${KV_UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Share devices without asking (DisableWarningPopup)" SecNoPopup
  WriteRegDWORD HKLM "${KV_POPUP_KEY}" "Enabled" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  Delete "$INSTDIR\kvUsbRedirector.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegValue HKLM "${KV_RUN_KEY}" "${KV_NAME}"
  DeleteRegKey HKLM "${KV_EVENT_KEY}"
  DeleteRegKey HKLM "${KV_POPUP_KEY}"
  DeleteRegKey /ifempty HKLM "Software\Orvik\WinUSB"
  DeleteRegKey /ifempty HKLM "Software\Orvik"
  DeleteRegKey HKLM "${KV_UNINSTALL_KEY}"
SectionEnd
