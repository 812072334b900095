@echo off
rem Registers OrvaneService with the service control manager, or stops and removes it.
rem Run from an elevated command prompt. Expected layout: the service executable one folder below
rem Orvane.exe, e.g. C:\Program Files\Orvane\Orvane.exe and C:\Program Files\Orvane\service\OrvaneService.exe.
rem
rem   register-orvane.cmd install [full\path\to\OrvaneService.exe]   (default: the exe beside this script)
rem   register-orvane.cmd uninstall
setlocal EnableExtensions
set "SERVICE=OrvaneService"
set "ACTION=%~1"
set "EXE=%~2"
if "%EXE%"=="" set "EXE=%~dp0OrvaneService.exe"
for %%F in ("%EXE%") do set "EXE=%%~fF"

if /i "%ACTION%"=="install" goto install
if /i "%ACTION%"=="uninstall" goto uninstall
echo usage: %~nx0 install [full\path\to\OrvaneService.exe]
echo        %~nx0 uninstall
exit /b 2

:install
if not exist "%EXE%" (
    echo register-orvane: no executable at "%EXE%"
    exit /b 3
)
sc query %SERVICE% >nul 2>&1
if not errorlevel 1 (
    echo register-orvane: %SERVICE% is already registered; run "%~nx0 uninstall" first
    exit /b 4
)
rem LocalSystem: the companion is started under the service's own token re-bound to the console
rem session, which needs an account holding the "act as part of the operating system" right.
sc create %SERVICE% binPath= "\"%EXE%\"" start= auto obj= LocalSystem DisplayName= "Orvane Service"
if errorlevel 1 (
    echo register-orvane: sc create failed
    exit /b 4
)
sc description %SERVICE% "Keeps Orvane.exe running in the session that owns the console." >nul
rem The companion gets 20 s to end after Ctrl-C; Windows' default pre-shutdown timeout is shorter.
reg add "HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%" /v PreshutdownTimeout /t REG_DWORD /d 60000 /f >nul
if errorlevel 1 (
    echo register-orvane: could not set the pre-shutdown timeout
    exit /b 5
)
echo register-orvane: %SERVICE% registered for "%EXE%" (automatic start, LocalSystem)
echo register-orvane: start it now with: sc start %SERVICE%
exit /b 0

:uninstall
sc query %SERVICE% >nul 2>&1
if errorlevel 1 (
    echo register-orvane: %SERVICE% is not registered
    exit /b 0
)
sc stop %SERVICE% >nul 2>&1
rem A companion that ignores Ctrl-C is given 20 s before it is terminated: wait up to about 45 s.
set /a TRIES=0
:wait_stopped
sc query %SERVICE% | find "STOPPED" >nul
if not errorlevel 1 goto delete
set /a TRIES+=1
if %TRIES% geq 45 (
    echo register-orvane: %SERVICE% did not stop; removing it anyway
    goto delete
)
ping -n 2 127.0.0.1 >nul
goto wait_stopped

:delete
sc delete %SERVICE% >nul
if errorlevel 1 (
    echo register-orvane: sc delete failed
    exit /b 6
)
echo register-orvane: %SERVICE% removed
exit /b 0
