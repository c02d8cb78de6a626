; Installer of the VEMO parameter server for 64-bit Windows, built on Debian by
; scripts/build-windows.sh:
;   makensis -DPROGRAM_DIR=<folder with the four .exe> -DOUTFILE=<installer.exe>
;            -DVERSION=<x.y> windows/paramserver.nsi
;
; Installs the programs into Program Files, registers the service through the
; service program's own "-i" (name, description, automatic start, local
; system) and starts it. Installing over a running service stops it first,
; replaces the programs, keeps the data and starts it again. The uninstaller
; stops the service in order, removes it and the programs, and keeps the
; databases unless asked to remove them (a question, or /REMOVEDATA when
; silent).
;
; Silent: installer.exe /S [/D=folder]    uninstall.exe /S [/REMOVEDATA]

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef PROGRAM_DIR
  !error "PROGRAM_DIR must name the folder with paramserver.exe, paramconfig.exe, paramctl.exe and uoosim.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "vemo-paramserver-setup.exe"
!endif
!ifndef VERSION
  !define VERSION "0.0"
!endif

!define PRODUCT "VEMO Parameter Server"
!define SERVICE "VEMO UOO_Params_Server service"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VemoParamServer"

!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh
!include StrFunc.nsh
${StrStr}
${UnStrStr}

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\VEMO\ParamServer"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Waits until the service program reports the service as not running, up to
; a minute (a stop ends the controller in order first). $0: the folder of
; paramserver.exe.
!macro WaitUntilStopped UN
Function ${UN}WaitUntilStopped
  Push $1
  Push $2
  Push $3
  StrCpy $3 0
  ${Do}
    nsExec::ExecToStack '"$0\paramserver.exe" -v'
    Pop $1
    Pop $2
    ; "... is installed and running" / "... and not running" / "not installed"
    ${If} $1 != 0
    ${OrIf} $3 >= 120
      ${Break}
    ${EndIf}
    !if "${UN}" == "un."
      ${UnStrStr} $1 $2 " and running"
    !else
      ${StrStr} $1 $2 " and running"
    !endif
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    Sleep 500
    IntOp $3 $3 + 1
  ${Loop}
  ; The service reports itself stopped just before its process ends: wait
  ; until that process has let go of the program file, which can then be
  ; replaced or removed.
  StrCpy $3 0
  ${Do}
    ClearErrors
    FileOpen $1 "$0\paramserver.exe" a
    ${IfNot} ${Errors}
      FileClose $1
      ${Break}
    ${EndIf}
    ${If} $3 >= 120
      ${Break}
    ${EndIf}
    Sleep 500
    IntOp $3 $3 + 1
  ${Loop}
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

!macroend
!insertmacro WaitUntilStopped ""
!insertmacro WaitUntilStopped "un."

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Service"
  SetOutPath "$INSTDIR"
  ; Over an earlier installation: its service stops in order before its
  ; programs are replaced; the databases beside them stay.
  ${If} ${FileExists} "$INSTDIR\paramserver.exe"
    DetailPrint "Stopping the running service"
    nsExec::ExecToLog '"$INSTDIR\paramserver.exe" -t'
    Pop $0
    StrCpy $0 "$INSTDIR"
    Call WaitUntilStopped
  ${EndIf}

  File "${PROGRAM_DIR}\paramserver.exe"
  File "${PROGRAM_DIR}\paramconfig.exe"
  File "${PROGRAM_DIR}\paramctl.exe"
  File "${PROGRAM_DIR}\uoosim.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Registered as the service program itself does it ("already installed" is
  ; not an error here), then started through the service control manager.
  nsExec::ExecToLog '"$INSTDIR\paramserver.exe" -i'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The service could not be installed ($0)"
    SetErrorLevel 2
    Abort "The service could not be installed"
  ${EndIf}
  nsExec::ExecToLog '"$INSTDIR\paramserver.exe"'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The service could not be started ($0)"
    SetErrorLevel 3
  ${EndIf}

  CreateDirectory "$SMPROGRAMS\VEMO"
  CreateShortCut "$SMPROGRAMS\VEMO\Настройка службы параметров VEMO.lnk" "$INSTDIR\paramconfig.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kolvant"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  ; Connected workstations and devices see the service stop in order: the
  ; controller ends both servers and writes the parameter records first.
  DetailPrint "Stopping the service"
  nsExec::ExecToLog '"$INSTDIR\paramserver.exe" -t'
  Pop $0
  StrCpy $0 "$INSTDIR"
  Call un.WaitUntilStopped
  nsExec::ExecToLog '"$INSTDIR\paramserver.exe" -u'
  Pop $0

  Delete "$INSTDIR\paramserver.exe"
  Delete "$INSTDIR\paramconfig.exe"
  Delete "$INSTDIR\paramctl.exe"
  Delete "$INSTDIR\uoosim.exe"
  Delete "$SMPROGRAMS\VEMO\Настройка службы параметров VEMO.lnk"
  RMDir "$SMPROGRAMS\VEMO"

  ; The databases stay unless asked for.
  StrCpy $1 0
  ${GetParameters} $2
  ClearErrors
  ${GetOptions} $2 "/REMOVEDATA" $3
  ${IfNot} ${Errors}
    StrCpy $1 1
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_DEFBUTTON2 "Удалить базы данных службы (учётные записи и параметры УОО)?" /SD IDNO IDNO keep
    StrCpy $1 1
    keep:
  ${EndIf}
  ${If} $1 == 1
    DetailPrint "Removing the databases"
    Delete "$INSTDIR\vemo_resource.db*"
    Delete "$INSTDIR\params_upd.db*"
    Delete "$INSTDIR\bindhost.txt"
  ${EndIf}

  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES64\VEMO"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
