# Pilot check of OrvaneService on a Windows test machine: installs it by hand and from its packages beside a test
# double of the companion, judges each step from the double's records, the service manager and
# `OrvaneSetup.exe status`, and removes everything it made. Run it elevated, on a machine without OrvaneService.
# Usage: powershell -ExecutionPolicy Bypass -File pilot-check.ps1 [-Files FOLDER] [-Logs FOLDER]
#   -Files: OrvaneService.exe, OrvaneSetup.exe, Orvane.exe (the test double), OrvaneService-<v>-x64.msi of two
#           versions and OrvaneService-<v>-x64-test-fails-after-registration.msi; default: this script's folder.
#   -Logs:  where its output, the /l*v logs, orvane.log, orvane.1.log and companion.rec are copied.
# Prints PASS, FAIL or SKIP a check, then "N passed, M failed, K skipped"; exits 0 only when nothing failed.
param(
    [string]$Files = '',
    [string]$Logs = (Join-Path ([IO.Path]::GetTempPath()) ('orvane-pilot-' + (Get-Date -Format 'yyyyMMdd-HHmmss')))
)
Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
if (-not $Files) {
    $Files = Split-Path -Parent $MyInvocation.MyCommand.Path
}
# Full paths: msiexec and the programs started here resolve a relative one against their own folder.
$Files = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Files)
$Logs = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Logs)

$ServiceName = 'OrvaneService'
$UpgradeCode = '{0B03E7EF-AC35-4F40-B2C7-3C49BB8234E6}'
$ProgramFiles = $env:ProgramW6432
if (-not $ProgramFiles) {
    $ProgramFiles = $env:ProgramFiles
}
$Base = Join-Path $ProgramFiles 'Orvane'
$ServiceDir = Join-Path $Base 'service'
$OwnKey = 'HKLM:\SOFTWARE\Orvane'
# The service writes its log where GetTempPath2W points SYSTEM; older systems have no SystemTemp folder.
$SystemTemp = Join-Path $env:SystemRoot 'SystemTemp'
if (-not (Test-Path -LiteralPath $SystemTemp)) {
    $SystemTemp = Join-Path $env:SystemRoot 'Temp'
}
$Counts = @{ passed = 0; failed = 0; skipped = 0 }
$State = @{ runs = 0 }

function say([string]$line) {
    Write-Host $line
    if (Test-Path -LiteralPath $Logs) {
        Add-Content -LiteralPath (Join-Path $Logs 'pilot-check.txt') -Value $line -Encoding Ascii
    }
}
function pass([string]$check) { $Counts.passed++; say "PASS $check" }
function fail([string]$check, [string]$why) { $Counts.failed++; say "FAIL ${check}: $why" }
function skip([string]$check, [string]$why) { $Counts.skipped++; say "SKIP ${check}: $why" }
function check([string]$check, [bool]$ok, [string]$why) {
    if ($ok) { pass $check } else { fail $check $why }
}
# A step cannot go on without this; the rest of its part is skipped.
function need([bool]$ok, [string]$what) {
    if (-not $ok) { throw $what }
}
function now_ms { [DateTimeOffset]::UtcNow.ToUnixTimeMilliseconds() }

# Polls a condition every 200 ms until it holds or the time is up; $true when it held.
function wait_until([scriptblock]$condition, [int]$limit_ms) {
    $until_ms = (now_ms) + $limit_ms
    while (-not (& $condition)) {
        if ((now_ms) -gt $until_ms) { return $false }
        Start-Sleep -Milliseconds 200
    }
    return $true
}

# Runs a program with a time bound (Start-Process -Wait has none), its output kept in the log folder.
# Reading the handle at once keeps the exit code readable in Windows PowerShell 5.1.
function run([string]$program, [string]$arguments, [string]$name, [int]$limit_ms = 300000) {
    $State.runs++
    $prefix = Join-Path $Logs ('{0:d2}-{1}' -f $State.runs, $name)
    $out = "$prefix.out.txt"
    $process = Start-Process -FilePath $program -ArgumentList $arguments -NoNewWindow -PassThru `
        -RedirectStandardOutput $out -RedirectStandardError "$prefix.err.txt"
    $null = $process.Handle
    if (-not $process.WaitForExit($limit_ms)) {
        Stop-Process -Id $process.Id -Force -ErrorAction SilentlyContinue
        return @{ code = -1; lines = @("did not end within $($limit_ms / 1000) s") }
    }
    $process.WaitForExit()
    return @{ code = $process.ExitCode; lines = @(Get-Content -LiteralPath $out -Encoding UTF8) }
}
function setup([string]$command) { run (Join-Path $ServiceDir 'OrvaneSetup.exe') $command "setup-$command" 120000 }
function sc_exe([string]$arguments, [string]$name) { run (Join-Path $env:SystemRoot 'System32\sc.exe') $arguments $name 60000 }
function msi([string]$action, [string]$package, [string]$name) {
    $log = Join-Path $Logs "msiexec-$name.log"
    $arguments = "$action `"$package`" /qn /norestart /l*v `"$log`""
    return (run (Join-Path $env:SystemRoot 'System32\msiexec.exe') $arguments "msiexec-$name").code
}

function service { Get-CimInstance -ClassName Win32_Service -Filter "Name='$ServiceName'" }
function service_state {
    $found = service
    if ($null -eq $found) { return 'absent' }
    return $found.State
}
function alive([string]$id) { $id -ne '' -and $null -ne (Get-Process -Id $id -ErrorAction SilentlyContinue) }

# The double's records: one hashtable a line, its event and its key=value fields.
function records([string]$kind) {
    $path = Join-Path $Base 'companion.rec'
    if (-not (Test-Path -LiteralPath $path)) { return }
    $stream = [IO.File]::Open($path, 'Open', 'Read', 'ReadWrite, Delete')
    try {
        $text = (New-Object IO.StreamReader($stream)).ReadToEnd()
    } finally {
        $stream.Dispose()
    }
    foreach ($line in ($text -split "`r?`n")) {
        $fields = $line.Split("`t")
        if ($fields[0] -ne $kind) { continue }
        $record = @{ event = $fields[0] }
        foreach ($field in $fields) {
            $pair = $field.Split('=', 2)
            if ($pair.Count -eq 2) { $record[$pair[0]] = $pair[1] }
        }
        $record
    }
}
function starts { @(records 'start' | Where-Object { $_.role -eq 'companion' }) }
function wait_starts([int]$count) { wait_until { @(starts).Count -ge $count } 12000 }
function last_start { @(starts)[-1] }
function got_ctrl_c([string]$id) { @(records 'ctrlc' | Where-Object { $_.pid -eq $id }).Count -eq 1 }
function configure([string[]]$lines) {
    Set-Content -LiteralPath (Join-Path $Base 'companion.cfg') -Value $lines -Encoding Ascii
}

# Products as Programs and Features lists them, and those the package's upgrade code names (Win32_Product
# is never used: listing it makes Windows Installer check, and may repair, every installed product).
function product_versions {
    $keys = Get-ChildItem 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
    foreach ($key in $keys) {
        if ($key.GetValue('DisplayName') -eq 'Orvane Service') { [string]$key.GetValue('DisplayVersion') }
    }
}
function products { @(product_versions) -join ',' }
# Windows Installer keeps GUIDs packed: each of the first three groups reversed, then each byte's digits swapped.
function packed_guid([string]$guid) {
    $hex = $guid -replace '[{}-]', ''
    $out = (-join $hex.Substring(0, 8)[7..0]) + (-join $hex.Substring(8, 4)[3..0]) + (-join $hex.Substring(12, 4)[3..0])
    # A string first: two characters added alone would be added as numbers.
    for ($i = 16; $i -lt 32; $i += 2) { $out += [string]$hex[$i + 1] + $hex[$i] }
    return $out
}
function related_products {
    $key = 'HKLM:\SOFTWARE\Classes\Installer\UpgradeCodes\' + (packed_guid $UpgradeCode)
    if (-not (Test-Path -LiteralPath $key)) { return }
    foreach ($name in (Get-Item -LiteralPath $key).GetValueNames()) {
        $plain = packed_guid $name
        '{' + $plain.Substring(0, 8) + '-' + $plain.Substring(8, 4) + '-' + $plain.Substring(12, 4) + '-' +
        $plain.Substring(16, 4) + '-' + $plain.Substring(20) + '}'
    }
}
function version_of([string]$file) { (Get-Item -LiteralPath (Join-Path $ServiceDir $file)).VersionInfo.ProductVersion }

# Not $state: PowerShell's names ignore case, and it would hide $State below.
function wait_state([string]$wanted, [int]$limit_ms) { wait_until { (service_state) -eq $wanted } $limit_ms }
function start_service {
    $null = sc_exe "start $ServiceName" 'sc-start'
    need (wait_state 'Running' 15000) "the service reaches Running (state: $(service_state))"
}

# Removes the service and every product of the package, kills what runs from the companion folder; keeps files.
function remove_service_and_products {
    $index = 0
    foreach ($code in @(related_products)) {
        $index++
        $null = msi '/x' $code "cleanup-$index"
    }
    if ((service_state) -ne 'absent') {
        $null = sc_exe "stop $ServiceName" 'cleanup-sc-stop'
        $null = wait_state 'Stopped' 40000
        $null = sc_exe "delete $ServiceName" 'cleanup-sc-delete'
    }
    Get-CimInstance -ClassName Win32_Process | Where-Object {
        $_.ExecutablePath -and $_.ExecutablePath.StartsWith($Base + '\', 'OrdinalIgnoreCase')
    } | ForEach-Object { Stop-Process -Id $_.ProcessId -Force -ErrorAction SilentlyContinue }
}

# What a test machine must be before anything is touched; each refusal says why.
function refusals {
    $files_needed = @('OrvaneService.exe', 'OrvaneSetup.exe', 'Orvane.exe')
    if (-not ([Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()).IsInRole(
            [Security.Principal.WindowsBuiltInRole]::Administrator)) {
        'not elevated: run it from an elevated PowerShell'
    }
    if (-not [Environment]::Is64BitProcess) { 'a 32-bit PowerShell: run the 64-bit one' }
    foreach ($file in $files_needed) {
        if (-not (Test-Path -LiteralPath (Join-Path $Files $file))) { "$file is not in $Files" }
    }
    if ($null -eq $State.base -or $null -eq $State.higher) { "two OrvaneService-<version>-x64.msi are not in $Files" }
    if ($null -eq $State.failing) { "OrvaneService-<version>-x64-test-fails-after-registration.msi is not in $Files" }
    if ((service_state) -ne 'absent') { "this machine has an $ServiceName registration" }
    if ((products) -ne '' -or @(related_products).Count -ne 0) { 'this machine has an Orvane Service product installed' }
    if (Test-Path -LiteralPath $Base) { "$Base exists" }
    if (Test-Path -LiteralPath $OwnKey) { "$OwnKey exists" }
}

function find_packages {
    $found = @(Get-ChildItem -LiteralPath $Files -Filter 'OrvaneService-*-x64.msi' -ErrorAction SilentlyContinue |
            Where-Object { $_.Name -match '^OrvaneService-(\d+\.\d+\.\d+)-x64\.msi$' } |
            Sort-Object { [version]($_.Name -replace '^OrvaneService-|-x64\.msi$', '') })
    if ($found.Count -eq 2) {
        $State.base = $found[0].FullName
        $State.higher = $found[1].FullName
        $State.base_version = $found[0].Name -replace '^OrvaneService-|-x64\.msi$', ''
        $State.higher_version = $found[1].Name -replace '^OrvaneService-|-x64\.msi$', ''
    }
    $failing = @(Get-ChildItem -LiteralPath $Files -Filter 'OrvaneService-*-x64-test-fails-after-registration.msi' `
            -ErrorAction SilentlyContinue)
    if ($failing.Count -eq 1) { $State.failing = $failing[0].FullName }
}

# The steps, in the order the Wine tests take them: part, name, what it does and judges.
$Steps = @(
    @('by hand', 'install by hand and start', {
            configure @('ctrl_c=exit', 'ctrl_c_code=0')
            $install = setup 'install'
            check 'OrvaneSetup.exe install exits 0' ($install.code -eq 0) "exit $($install.code): $($install.lines[-1])"
            need ($install.code -eq 0) 'the service is registered'
            $null = sc_exe "qfailure $ServiceName" 'sc-qfailure'
            start_service
            need (wait_starts 1) 'the companion is launched within 12 s of Running'
            $start = last_start
            $State.pid = $start.pid
            $console = [OrvanePilot.Native]::WTSGetActiveConsoleSessionId()
            check 'the companion runs in the console session, not session 0' (
                $start.session -eq "$console" -and $console -ne 0) "session $($start.session), console session $console"
            check 'the companion runs inside a job' ($start.job -eq '1') "job=$($start.job)"
            check 'the companion is on winsta0\default' ($start.desktop -eq 'winsta0\default') "desktop=$($start.desktop)"
            check 'the companion runs as LocalSystem (S-1-5-18)' ($start.account -eq 'S-1-5-18') "account=$($start.account)"
            $log = Join-Path $SystemTemp 'orvane.log'
            $State.log_text = ''
            $said = wait_until {
                # The service holds the log open for writing: only a reader that shares writing may open it.
                try {
                    $stream = [IO.File]::Open($log, 'Open', 'Read', 'ReadWrite')
                    try { $State.log_text = (New-Object IO.StreamReader($stream)).ReadToEnd() } finally { $stream.Dispose() }
                } catch {
                    $State.log_text = $_.Exception.Message
                }
                $State.log_text.Contains("orvane-double $($State.pid) hello on stdout")
            } 5000
            check "the companion's output is in $log" $said "found there: '$($State.log_text)'"
        }),
    @('by hand', 'status while healthy', {
            $status = setup 'status'
            $verdict = @($status.lines | Where-Object { $_ -like 'OrvaneSetup: verdict:*' })
            check 'status exits 0 and says healthy' ($status.code -eq 0 -and @($verdict | Where-Object {
                        $_ -like 'OrvaneSetup: verdict: healthy:*' }).Count -eq 1) "exit $($status.code), $verdict"
            check 'status names the companion' (@($status.lines | Where-Object {
                        $_ -like "OrvaneSetup: companion: process id $($State.pid), *" }).Count -eq 1) ($status.lines -join ' | ')
        }),
    @('by hand', 'relaunch', {
            # The next instance ends by itself after 1.5 s; the one after it stays, with a grandchild.
            configure @('exit_after_ms=1500', 'exit_code=7')
            $count = @(starts).Count
            Stop-Process -Id $State.pid -Force
            need (wait_starts ($count + 1)) 'the killed companion is launched again'
            configure @('ctrl_c=exit', 'ctrl_c_code=0', 'grandchild=1')
            need (wait_starts ($count + 2)) 'the companion that ended by itself is launched again'
            $second = @(starts)[$count].pid
            $ended = @(records 'exit' | Where-Object { $_.pid -eq $second })
            need ($ended.Count -eq 1) 'the second instance recorded its own exit'
            $gap = [long]((last_start).t) - [long]($ended[0].t)
            check 'relaunch no sooner than 3 s after an own exit' ($gap -ge 3000 -and $gap -le 5000) "$gap ms"
            $State.pid = (last_start).pid
        }),
    @('by hand', 'graceful stop', {
            need (wait_until { @(records 'grandchild' | Where-Object { $_.pid -eq $State.pid }).Count -eq 1 } 5000) `
                'the companion starts its grandchild'
            $grandchild = @(records 'grandchild' | Where-Object { $_.pid -eq $State.pid })[0].child
            need (alive $grandchild) 'the grandchild runs'
            $null = sc_exe "stop $ServiceName" 'sc-stop'
            need (wait_state 'Stopped' 40000) 'the service stops within 40 s'
            check 'the grandchild ended with the job' (wait_until { -not (alive $grandchild) } 3000) "process $grandchild runs on"
            check 'the companion received Ctrl-C' (got_ctrl_c $State.pid) 'no ctrlc record'
            $exit = @(records 'exit' | Where-Object { $_.pid -eq $State.pid })
            check 'the companion exited itself on Ctrl-C' ($exit.Count -eq 1 -and $exit[0].why -eq 'ctrlc') 'no exit record why=ctrlc'
            check 'STOPPED with Win32 exit code 0' ((service).ExitCode -eq 0) "exit code $((service).ExitCode)"
        }),
    @('by hand', 'exit code 1115', {
            configure @('exit_after_ms=1000', 'exit_code=1115')
            $count = @(starts).Count
            start_service
            need (wait_starts ($count + 1)) 'the companion is launched'
            check 'exit code 1115 stops the service' (wait_state 'Stopped' 15000) "state $(service_state)"
            Start-Sleep -Milliseconds 4500
            check 'nothing is launched after 1115' (@(starts).Count -eq $count + 1) "$(@(starts).Count - $count) launches"
        }),
    @('by hand', 'failure action', {
            configure @('ctrl_c=exit', 'ctrl_c_code=0')
            $count = @(starts).Count
            start_service
            need (wait_starts ($count + 1)) 'the companion is launched'
            $companion = (last_start).pid
            $killed = (service).ProcessId
            Stop-Process -Id $killed -Force
            $at = now_ms
            check "the killed service's companion did not outlive it" (wait_until { -not (alive $companion) } 3000) `
                "process $companion runs on"
            $back = wait_until { (service_state) -eq 'Running' -and (service).ProcessId -ne $killed } 20000
            check 'the failure action starts the service again' $back "state $(service_state) $((now_ms) - $at) ms after the kill"
            if ($back) {
                check 'the restarted service launches the companion' (wait_starts ($count + 2)) 'no new start record'
            } else {
                skip 'the restarted service launches the companion' 'the service did not start again'
            }
        }),
    @('by hand', 'uninstall', {
            $State.pid = (last_start).pid
            $uninstall = setup 'uninstall'
            check 'OrvaneSetup.exe uninstall exits 0' ($uninstall.code -eq 0) "exit $($uninstall.code): $($uninstall.lines[-1])"
            check 'the service is gone' (wait_state 'absent' 10000) "state $(service_state)"
            check 'uninstall stopped the companion with Ctrl-C' ((got_ctrl_c $State.pid) -and -not (alive $State.pid)) 'no ctrlc record'
        }),
    @('package', 'install, upgrade, repair, downgrade, removal', {
            # From a clean machine whatever the part before left; the package brings its own service folder.
            remove_service_and_products
            Remove-Item -LiteralPath $ServiceDir -Recurse -Force -ErrorAction SilentlyContinue
            $count = @(starts).Count
            $code = msi '/i' $State.base 'install'
            check 'silent install exits 0' ($code -eq 0) "exit $code"
            need ((service_state) -eq 'Running' -and (wait_starts ($count + 1))) 'the service runs and launches the companion'
            check 'one product, the installed version' ((products) -eq $State.base_version) "listed: $(products)"

            $old = (last_start).pid
            $code = msi '/i' $State.higher 'upgrade'
            check 'upgrade exits 0' ($code -eq 0) "exit $code"
            check "upgrade: the old companion got Ctrl-C" ((got_ctrl_c $old) -and -not (alive $old)) 'no ctrlc record'
            check 'upgrade: one product, the new version' ((products) -eq $State.higher_version) "listed: $(products)"
            check 'upgrade: the new files' ((version_of 'OrvaneService.exe') -eq $State.higher_version -and
                (version_of 'OrvaneSetup.exe') -eq $State.higher_version) "ProductVersion $(version_of 'OrvaneService.exe')"
            check 'upgrade: the service runs' ((service_state) -eq 'Running') "state $(service_state)"

            Remove-Item -LiteralPath (Join-Path $ServiceDir 'OrvaneSetup.exe') -Force
            $code = msi '/fa' $State.higher 'repair'
            check 'repair (/fa) exits 0 and puts OrvaneSetup.exe back' ($code -eq 0 -and
                (Test-Path -LiteralPath (Join-Path $ServiceDir 'OrvaneSetup.exe'))) "exit $code"
            need (wait_state 'Running' 15000) 'the service runs after the repair'
            need (wait_until { alive (last_start).pid } 12000) 'a companion runs after the repair'
            $current = (last_start).pid

            $code = msi '/i' $State.base 'downgrade'
            check 'a downgrade is refused with 1603' ($code -eq 1603) "exit $code"
            check 'the newer version stays installed and running' ((products) -eq $State.higher_version -and
                (service_state) -eq 'Running' -and (alive $current)) "listed: $(products), state $(service_state)"

            $code = msi '/x' $State.higher 'remove'
            check 'removal exits 0' ($code -eq 0) "exit $code"
            check 'removal: service gone, no product' ((wait_state 'absent' 10000) -and (products) -eq '') `
                "state $(service_state), listed: $(products)"
            check 'removal: the service folder gone, Orvane.exe still there' (-not (Test-Path -LiteralPath $ServiceDir) -and
                (Test-Path -LiteralPath (Join-Path $Base 'Orvane.exe'))) 'see the removal log'
        }),
    @('rollback', 'a failing install and a failing upgrade roll back', {
            remove_service_and_products
            $code = msi '/i' $State.failing 'failing-install'
            check 'the failing package over nothing exits 1603' ($code -eq 1603) "exit $code"
            $left = @(Get-ChildItem -LiteralPath $ServiceDir -Recurse -File -ErrorAction SilentlyContinue)
            check 'rolled back: no files, no registration, no product' ($left.Count -eq 0 -and (service_state) -eq 'absent' -and
                (products) -eq '' -and @(related_products).Count -eq 0) "files $($left.Count), state $(service_state), listed: $(products)"

            $code = msi '/i' $State.base 'base-install'
            need ($code -eq 0 -and (wait_state 'Running' 15000)) "the base package installs and runs (exit $code)"
            $code = msi '/i' $State.failing 'failing-upgrade'
            check 'the failing package as an upgrade exits 1603' ($code -eq 1603) "exit $code"
            check 'the base version is still installed and registered' ((products) -eq $State.base_version -and
                (service_state) -ne 'absent') "listed: $(products), state $(service_state)"
            check 'and running' (wait_state 'Running' 15000) "state $(service_state)"
            check 'its files in place' ((version_of 'OrvaneService.exe') -eq $State.base_version -and
                (version_of 'OrvaneSetup.exe') -eq $State.base_version) "ProductVersion $(version_of 'OrvaneService.exe')"
        })
)

$preexisting_logs = @('orvane.log', 'orvane.1.log' | Where-Object { Test-Path -LiteralPath (Join-Path $SystemTemp $_) })
if (-not ('OrvanePilot.Native' -as [type])) {
    Add-Type -Namespace OrvanePilot -Name Native -MemberDefinition @'
[System.Runtime.InteropServices.DllImport("kernel32.dll")]
public static extern uint WTSGetActiveConsoleSessionId();
'@
}
$null = New-Item -ItemType Directory -Force -Path $Logs
find_packages
$refused = @(refusals)
foreach ($reason in $refused) { fail 'the machine may be used' $reason }
if ($refused.Count -gt 0) {
    say "nothing was changed; logs in $Logs"
    say "$($Counts.passed) passed, $($Counts.failed) failed, $($Counts.skipped) skipped"
    exit 1
}

$broken = @{}
try {
    $null = New-Item -ItemType Directory -Force -Path $ServiceDir
    Copy-Item -LiteralPath (Join-Path $Files 'Orvane.exe') -Destination $Base
    Copy-Item -LiteralPath (Join-Path $Files 'OrvaneService.exe'), (Join-Path $Files 'OrvaneSetup.exe') -Destination $ServiceDir
    say "laid out $Base (test double) and $ServiceDir; console session $([OrvanePilot.Native]::WTSGetActiveConsoleSessionId())"
    foreach ($step in $Steps) {
        $part = $step[0]
        $name = $step[1]
        if ($broken.ContainsKey($part)) {
            skip $name $broken[$part]
            continue
        }
        try {
            & $step[2]
        } catch {
            fail $name "cannot go on: $($_.Exception.Message)"
            $broken[$part] = "an earlier step of this part could not finish ($name)"
        }
    }
} catch {
    fail 'lay out the companion folder' $_.Exception.Message
} finally {
    say 'cleaning up: the service, the products of the package, the companion folder'
    try {
        remove_service_and_products
    } catch {
        fail 'cleanup' $_.Exception.Message
    }
    foreach ($file in @('orvane.log', 'orvane.1.log')) {
        Copy-Item -LiteralPath (Join-Path $SystemTemp $file) -Destination $Logs -ErrorAction SilentlyContinue
        if ($preexisting_logs.Count -eq 0) { Remove-Item -LiteralPath (Join-Path $SystemTemp $file) -Force -ErrorAction SilentlyContinue }
    }
    Copy-Item -LiteralPath (Join-Path $Base 'companion.rec') -Destination $Logs -ErrorAction SilentlyContinue
    Remove-Item -LiteralPath $Base -Recurse -Force -ErrorAction SilentlyContinue
    Remove-Item -LiteralPath $OwnKey -Recurse -Force -ErrorAction SilentlyContinue
    if ((service_state) -ne 'absent' -or (products) -ne '' -or (Test-Path -LiteralPath $Base)) {
        fail 'cleanup' "something is left: service $(service_state), products '$(products)', $Base $(Test-Path -LiteralPath $Base)"
    }
    say "logs: $Logs"
    say "$($Counts.passed) passed, $($Counts.failed) failed, $($Counts.skipped) skipped"
}
if ($Counts.failed -gt 0) { exit 1 }
exit 0
