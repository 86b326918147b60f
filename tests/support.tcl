# Helpers shared by the tcltest suites.
namespace eval ::zarntest {
    variable fixtures $::env(ZARN_FIXTURES)
    variable source $::env(ZARN_SOURCE)
    variable build $::env(ZARN_BUILD)
}

# A fresh scratch directory for one suite; fixtures are copied here because
# the store opens files read-write.
proc ::zarntest::scratch {{name {}}} {
    if {$name eq ""} { set name [file rootname [file tail [info script]]] }
    set dir [file join $::zarntest::build tmp $name-[pid]]
    file delete -force $dir
    file mkdir $dir
    return $dir
}

# Copies a generated fixture into dir and returns the copy's path.
proc ::zarntest::fixture {name dir} {
    set src [file join $::zarntest::fixtures $name]
    set dst [file join $dir [file tail $name]]
    file copy -force $src $dst
    file attributes $dst -permissions 0644
    return $dst
}

# Runs script and collects what the package printed on its console.  The
# package prints by evaluating "puts -nonewline stdout|stderr TEXT" in the
# current interpreter, so a wrapper around puts sees every line.
# Returns a dict: code, result, stdout, stderr.
proc ::zarntest::capture {script} {
    variable cap
    array set cap {stdout {} stderr {}}
    rename ::puts ::zarntest::realPuts
    proc ::puts args {
        set nl "\n"
        if {[lindex $args 0] eq "-nonewline"} {
            set nl ""
            set args [lrange $args 1 end]
        }
        if {[llength $args] == 1} {
            set ch stdout
            set s [lindex $args 0]
        } else {
            lassign $args ch s
        }
        if {$ch in {stdout stderr}} {
            append ::zarntest::cap($ch) $s $nl
        } elseif {$nl eq ""} {
            ::zarntest::realPuts -nonewline $ch $s
        } else {
            ::zarntest::realPuts $ch $s
        }
    }
    set code [catch {uplevel 1 $script} res]
    rename ::puts {}
    rename ::zarntest::realPuts ::puts
    return [dict create code $code result $res stdout $cap(stdout) stderr $cap(stderr)]
}

proc ::zarntest::readfile {name} {
    set f [open $name rb]
    set d [read $f]
    close $f
    return $d
}

proc ::zarntest::writefile {name data} {
    set f [open $name wb]
    puts -nonewline $f $data
    close $f
}

# Closes every image the suite left open (locked ones are unlocked first).
proc ::zarntest::closeAll {} {
    foreach t [rimage list tag] {
        catch {rimage unlock $t}
        while {![catch {rimage close $t}]} {}
    }
}

# The command words that start another shell able to load the package (for
# exec): tclsh by default, or the program named.  Under the sanitizer build
# the shell gets the sanitizer runtime preloaded.
proc ::zarntest::shell {{program {}}} {
    if {$program eq ""} { set program [info nameofexecutable] }
    if {[info exists ::env(ZARN_PRELOAD)]} {
        return [list env LD_PRELOAD=$::env(ZARN_PRELOAD) $program]
    }
    return [list $program]
}
