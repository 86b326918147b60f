# The console window of a console interpreter: a text widget whose last line
# is the input line, with a history, output tags for stdout and stderr, and
# a status bar holding the progress meter and the pause/abort buttons.
#
# Marks: "out" is where output goes (just before the prompt; it moves on
# with what is inserted), "limit" is where the input line begins.

namespace eval ::zcon {
    variable history {}
    variable histIndex 0
    variable pending ""
    variable reading 0
    variable lineReady 0
    variable prompt "% "
}

proc ::zcon::build {} {
    if {[info commands winfo] eq "" || [winfo exists .console]} return
    frame .status
    frame .status.info
    if {[info commands meter.create] ne ""} {
        meter.create .status.info.meter
    } else {
        label .status.info.meter -anchor w
    }
    button .status.abort -text Abort -padx 4 -pady 0 -command {::zcon::setStatus 3}
    button .status.pause -text Pause -padx 4 -pady 0 -command {::zcon::togglePause}
    pack .status.info.meter -side left -fill x -expand 1
    pack .status.info -side left -fill x -expand 1
    pack .status.abort .status.pause -side right
    text .console -wrap char -width 80 -height 24 -undo 0 -yscrollcommand {.sb set}
    scrollbar .sb -command {.console yview}
    pack .status -side bottom -fill x
    pack .sb -side right -fill y
    pack .console -side left -fill both -expand 1
    .console tag configure stderr -foreground red3
    .console tag configure prompt -foreground blue4
    .console tag configure result -foreground gray20
    .console mark set out 1.0
    .console mark gravity out right
    .console mark set limit 1.0
    .console mark gravity limit left
    ::zcon::bindings
    ::zcon::prompt
    focus .console
}

proc ::zcon::bindings {} {
    bind .console <Return> {::zcon::enter; break}
    bind .console <KP_Enter> {::zcon::enter; break}
    bind .console <Up> {::zcon::recall -1; break}
    bind .console <Down> {::zcon::recall 1; break}
    bind .console <BackSpace> {
        if {[.console tag nextrange sel 1.0 end] eq "" && [.console compare insert <= limit]} break
    }
    bind .console <Delete> {
        if {[.console compare insert < limit]} break
    }
    bind .console <Home> {.console mark set insert limit; break}
    bind .console <Key> {
        if {"%A" ne "" && [.console compare insert < limit]} {
            .console mark set insert {end - 1 char}
        }
    }
    bind .console <<Paste>> {.console mark set insert {end - 1 char}}
    bind .console <Destroy> {set ::zcon::lineReady -1}
}

proc ::zcon::setStatus {n} {
    catch {zarn status $n}
}

proc ::zcon::togglePause {} {
    if {[catch {zarn status} s]} return
    if {$s == 2} {
        zarn status 0
        .status.pause configure -text Pause
    } else {
        zarn status 2
        .status.pause configure -text Go
    }
}

# Shows the prompt after the output and puts the input line after it.
proc ::zcon::prompt {} {
    variable prompt
    .console mark set out {end - 1 char}
    .console mark gravity out left
    .console insert {end - 1 char} $prompt prompt
    .console mark gravity out right
    .console mark set limit {end - 1 char}
    .console mark set insert {end - 1 char}
    .console see end
}

# Output and input share the end of the text while a command runs.
proc ::zcon::busy {} {
    .console mark set out {end - 1 char}
    .console mark set limit {end - 1 char}
    .console mark set insert {end - 1 char}
}

proc ::zcon::enter {} {
    variable pending
    variable reading
    variable history
    variable histIndex
    set line [.console get limit {end - 1 char}]
    .console insert {end - 1 char} "\n"
    if {$reading} {
        # A line for a program that reads standard input.
        set reading 0
        set ::consoleCmdLine $line
        ::zcon::busy
        set ::zcon::lineReady 1
        return
    }
    append pending $line "\n"
    if {![info complete $pending]} {
        ::zcon::busy
        return
    }
    set cmd [string trimright $pending "\n"]
    set pending ""
    if {[string trim $cmd] ne ""} {
        lappend history $cmd
        if {[llength $history] > 500} { set history [lrange $history end-499 end] }
    }
    set histIndex [llength $history]
    ::zcon::busy
    set code [catch {::zcon::evaluate $cmd} result]
    if {![winfo exists .console]} return
    if {$result ne ""} {
        .console insert out "$result\n" [expr {$code == 1 ? "stderr" : "result"}]
    }
    ::zcon::prompt
}

# The console's application when there is one, else this interpreter.
proc ::zcon::evaluate {cmd} {
    if {[info commands conAppRec] ne ""} {
        return [conAppRec $cmd]
    }
    uplevel #0 $cmd
}

proc ::zcon::recall {dir} {
    variable history
    variable histIndex
    set n [llength $history]
    if {$n == 0} return
    set histIndex [expr {max(0, min($n, $histIndex + $dir))}]
    set text [expr {$histIndex < $n ? [lindex $history $histIndex] : ""}]
    .console delete limit {end - 1 char}
    .console insert {end - 1 char} $text
    .console mark set insert {end - 1 char}
    .console see end
}

# ---- procedures the package evaluates -----------------------------------

proc tkConsoleOutput {ch text} {
    if {![winfo exists .console]} {
        catch {puts -nonewline $ch $text}
        return
    }
    .console insert out $text [expr {$ch eq "stderr" ? "stderr" : "stdout"}]
    if {[.console compare limit < out]} {
        .console mark set limit out
    }
    .console see end
}

# Waits for the user to type a line; leaves it in ::consoleCmdLine, which
# stays unset when the console goes away meanwhile.
proc tkConsoleInput {} {
    unset -nocomplain ::consoleCmdLine
    if {![winfo exists .console]} return
    set ::zcon::reading 1
    ::zcon::busy
    focus .console
    set ::zcon::lineReady 0
    vwait ::zcon::lineReady
    set ::zcon::reading 0
    if {$::zcon::lineReady < 0} { unset -nocomplain ::consoleCmdLine }
}

# Moves where output goes to column x of row y of the visible text.
proc tkConsoleXY {x y} {
    if {![winfo exists .console]} return
    set top [lindex [split [.console index @0,0] .] 0]
    set idx [.console index "[expr {$top + $y}].0 + $x chars"]
    if {[.console compare $idx > out]} { set idx out }
    .console mark set out $idx
}

proc clear {} {
    if {![winfo exists .console]} return
    .console delete 1.0 out
}

::zcon::build
if {[info commands setConStdIO] ne ""} { setConStdIO }
