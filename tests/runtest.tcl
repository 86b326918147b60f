# Runs one tcltest file against the package in the build tree and exits with
# a non-zero status when any test failed.  Works in tclsh and in wish.
package require tcltest 2.5
# A sanitizer runtime preloaded for this interpreter is not for the programs
# the suites start; ::zarntest::shell gives it back to the shells that load
# the package.
if {[info exists env(LD_PRELOAD)]} {
    set env(ZARN_PRELOAD) $env(LD_PRELOAD)
    unset env(LD_PRELOAD)
}
set file [lindex $argv 0]
set argv {}
lappend auto_path $env(ZARN_BUILD)
::tcltest::configure -testdir [file dirname [file normalize $file]] \
    -tmpdir [file join $env(ZARN_BUILD) tmp] -verbose {error}
file mkdir [file join $env(ZARN_BUILD) tmp]
namespace eval ::zarntest {}
# Shared helpers for the suites.
source [file join [file dirname [info script]] support.tcl]
set failed 0
proc ::tcltest::cleanupTestsHook {} {
    set ::failed [expr {$::tcltest::numTests(Failed) > 0}]
}
if {[catch {source $file} msg opts]} {
    puts stderr "error sourcing $file: $msg\n[dict get $opts -errorinfo]"
    set failed 1
}
if {[info commands tk] ne ""} { destroy . }
exit $failed
