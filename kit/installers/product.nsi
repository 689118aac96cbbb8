; The NSIS recipe: a per-user installation of the launcher and the application folder into
; %LOCALAPPDATA%\Programs\<ProductName>, with a Start-menu shortcut carrying the AppUserModelID,
; the file association and an uninstaller. kit/installer nsis compiles it with makensis, given
; these defines: PRODUCT_NAME, PUBLISHER, VERSION, FILE_NAME (the launcher in DIST), DIST,
; APPLICATION (the application folder), OUT_FILE, TARGET (x86-unicode or amd64-unicode, the
; launcher's), and where the brand asks for them APP_ID, CONSOLE_FILE_NAME, and PROG_ID,
; DOCUMENT and EXTENSIONS (an include whose EachExtension macro names every extension).
; docs/installers.md explains each part.
Unicode true
Target ${TARGET}
; Per-user: Windows asks for no elevation, and every path below is the user's.
RequestExecutionLevel user
SetCompressor /SOLID lzma
!include "LogicLib.nsh"
!include "Win\COM.nsh"
!include "Win\Propkey.nsh"

Name "${PRODUCT_NAME}"
OutFile "${OUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT_NAME}"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT_NAME}.lnk"
!define UNINSTALLER "$INSTDIR\Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT_NAME}"

; Sets the AppUserModelID of the shortcut at `path` through its property store (the stock
; COM.nsh and Propkey.nsh); CreateShortcut has no word for it.
!macro SetShortcutAppId path app_id
  !insertmacro ComHlpr_CreateInProcInstance ${CLSID_ShellLink} ${IID_IShellLink} r0 ""
  ${If} $0 P<> 0
    ${IUnknown::QueryInterface} $0 '("${IID_IPersistFile}",.r1)'
    ${If} $1 P<> 0
      ${IPersistFile::Load} $1 '("${path}",${STGM_READWRITE})'
      ${IUnknown::QueryInterface} $0 '("${IID_IPropertyStore}",.r2)'
      ${If} $2 P<> 0
        System::Call '*${SYSSTRUCT_PROPERTYKEY}(${PKEY_AppUserModel_ID})p.r3'
        System::Call '*(&i2 ${VT_LPWSTR},&i6 0,w "${app_id}",&i8 0)p.r4'
        ${IPropertyStore::SetValue} $2 '($3,$4)'
        ${IPropertyStore::Commit} $2 ""
        System::Free $3
        System::Free $4
        ${IUnknown::Release} $2 ""
        ${IPersistFile::Save} $1 '("${path}",1)'
      ${EndIf}
      ${IUnknown::Release} $1 ""
    ${EndIf}
    ${IUnknown::Release} $0 ""
  ${EndIf}
!macroend

!ifdef EXTENSIONS
!include "${EXTENSIONS}"
!macro AssociateExtension extension
  WriteRegStr HKCU "Software\Classes\${extension}" "" "${PROG_ID}"
!macroend
; Leaves an extension that another program has taken over since.
!macro DissociateExtension extension
  ReadRegStr $0 HKCU "Software\Classes\${extension}" ""
  ${If} $0 == "${PROG_ID}"
    DeleteRegValue HKCU "Software\Classes\${extension}" ""
  ${EndIf}
  DeleteRegKey /ifempty HKCU "Software\Classes\${extension}"
!macroend
!endif

Section
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "/oname=${FILE_NAME}" "${DIST}/${FILE_NAME}"
!ifdef CONSOLE_FILE_NAME
  File "/oname=${CONSOLE_FILE_NAME}" "${DIST}/${CONSOLE_FILE_NAME}"
!endif
  File /r "${APPLICATION}"
  WriteUninstaller "${UNINSTALLER}"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${FILE_NAME}"
!ifdef APP_ID
  !insertmacro SetShortcutAppId "${SHORTCUT}" "${APP_ID}"
!endif
!ifdef EXTENSIONS
  ; The open command passes the document's path as one quoted argument.
  WriteRegStr HKCU "Software\Classes\${PROG_ID}" "" "${DOCUMENT}"
  WriteRegStr HKCU "Software\Classes\${PROG_ID}\DefaultIcon" "" '"$INSTDIR\${FILE_NAME}",0'
  WriteRegStr HKCU "Software\Classes\${PROG_ID}\shell\open\command" "" \
      '"$INSTDIR\${FILE_NAME}" "%1"'
  !insertmacro EachExtension AssociateExtension
  ; Explorer reads the associations again.
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!endif
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${FILE_NAME}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer wrote, and the folder only when nothing else is left in it.
Section Uninstall
  SetShellVarContext current
  Delete "${SHORTCUT}"
!ifdef EXTENSIONS
  !insertmacro EachExtension DissociateExtension
  DeleteRegKey HKCU "Software\Classes\${PROG_ID}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!endif
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${FILE_NAME}"
!ifdef CONSOLE_FILE_NAME
  Delete "$INSTDIR\${CONSOLE_FILE_NAME}"
!endif
  RMDir /r "$INSTDIR\application"
  Delete "${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
