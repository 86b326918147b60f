# The progress meter.  The package evaluates
#   meter.set .status.info.meter FRACTION {MESSAGE }
#   meter.reset .status.info.meter
# during long operations; they draw only when that widget exists, so the
# library also loads and runs in a plain tclsh.

proc meter.exists {w} {
    expr {[info commands winfo] ne "" && [winfo exists $w]}
}

# Makes a meter widget: a canvas with a bar and a label.
proc meter.create {w args} {
    canvas $w -height 16 -width 200 -highlightthickness 0 -borderwidth 1 -relief sunken {*}$args
    $w create rectangle 0 0 0 16 -fill SteelBlue3 -outline {} -tags bar
    $w create text 4 8 -anchor w -tags label -font TkSmallCaptionFont
    return $w
}

proc meter.set {w pct {msg {}}} {
    if {![meter.exists $w]} return
    if {![string is double -strict $pct]} return
    set pct [expr {$pct < 0 ? 0.0 : $pct > 1 ? 1.0 : double($pct)}]
    set text "[string trim $msg] [format %.0f%% [expr {$pct * 100}]]"
    if {[winfo class $w] eq "Canvas"} {
        set width [winfo width $w]
        if {$width <= 1} { set width [winfo reqwidth $w] }
        set height [winfo height $w]
        if {$height <= 1} { set height [winfo reqheight $w] }
        $w coords bar 0 0 [expr {$pct * $width}] $height
        $w itemconfigure label -text $text
    } else {
        catch {$w configure -text $text}
    }
    update idletasks
}

proc meter.reset {w} {
    if {![meter.exists $w]} return
    if {[winfo class $w] eq "Canvas"} {
        $w coords bar 0 0 0 0
        $w itemconfigure label -text {}
    } else {
        catch {$w configure -text {}}
    }
}
