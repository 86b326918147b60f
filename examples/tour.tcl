# A short guided tour of Zarn: run it with `make run`, or with
#   tclsh examples/tour.tcl
# from the top of the source tree after a build.
lappend auto_path [file join [file dirname [file normalize [info script]]] .. build]
package require Zarn 3.4

proc say {args} { puts [join $args] }
proc section {title} { puts "\n== $title ==" }

set work [file join [pwd] tour-output]
file mkdir $work
cd $work

section "The package"
say "Zarn [package present Zarn] is loaded into a plain tclsh: no display needed."
say "The rimage command opens, creates and inspects RAM images:"
say "  [rimage]"

section "A synthetic scene"
# A 3-band, 96 x 128 scene stored band interleaved by line (BIL) behind the
# package's own 860-byte header.  `rimage create` writes the header from the
# default head; the pixels are then written with plain Tcl file I/O.
set rows 96
set cols 128
rimage configure -file scene.bil -imgid BIL -pixel BYTE -offset 860 -block 0 \
    -rows $rows -columns $cols -nbands 3 -x0 500000.0 -y0 4100000.0 -dx 30.0 -dy 30.0
rimage create overwrite
set offset [rimage cget -offset]
set f [open scene.bil r+]
fconfigure $f -translation binary
seek $f $offset
for {set y 0} {$y < $rows} {incr y} {
    # Band 1: a ramp across; band 2: a ramp down; band 3: a bright disc.
    set b1 {}; set b2 {}; set b3 {}
    for {set x 0} {$x < $cols} {incr x} {
        lappend b1 [expr {$x * 2}]
        lappend b2 [expr {$y * 2 + 20}]
        set d [expr {hypot($x - 64, $y - 48)}]
        lappend b3 [expr {$d < 30 ? 220 : 40}]
    }
    puts -nonewline $f [binary format c* $b1][binary format c* $b2][binary format c* $b3]
}
close $f
say "Wrote [file size scene.bil] bytes to scene.bil."

section "Opening it"
set img [rimage open scene.bil]
say "rimage open scene.bil -> tag $img"
foreach opt {-imgid -pixel -rows -columns -nbands -x0 -y0 -dx -dy} {
    say [format "  %-9s %s" $opt [rimage cget $img $opt]]
}

section "Per-band statistics (min max mean std)"
set band 1
foreach s [rimage hist -imgid $img -list stats] {
    say "  band $band: $s"
    incr band
}

section "Histograms"
# Bins of 8-bit bands, summarised as sixteen groups of sixteen values, each
# drawn relative to the fullest group.
say "  values      0 ............................ 255"
set band 1
foreach bins [rimage hist -imgid $img -list hist] {
    set groups {}
    for {set g 0} {$g < 16} {incr g} {
        set n 0
        foreach c [lrange $bins [expr {$g * 16}] [expr {$g * 16 + 15}]] { incr n $c }
        lappend groups $n
    }
    set top [tcl::mathfunc::max {*}$groups]
    set bars {}
    foreach n $groups {
        append bars [string index " .:-=+*#%@" [expr {int(ceil(9.0 * $n / $top))}]] " "
    }
    say "  band $band    |$bars|"
    incr band
}

section "Memory images"
set mem [rimage open work MBIL -rows 64 -columns 64 -nbands 2 -pixel FLOAT]
say "A resident 64 x 64 FLOAT image: tag $mem, resident [rimage resident $mem]"
set pal [rimage open palette MRGB8 -rows 16 -columns 16]
say "A display image with a 256-entry colour table; entry 128: [rimage getIndices $pal 128]"
say "Images now open (tag file command-opens opens clients):"
foreach e [rimage list all] { say "  $e" }

section "The line cache"
say "Cached lines as a percentage of rows: [rimage cache]"
rimage cache -imgid $img -pct 25
say "After rimage cache -imgid $img -pct 25: [rimage cache -imgid $img]"

section "Cleaning up"
foreach t [list $img $mem $pal] { rimage close $t }
say "Open images left: [llength [rimage list]]"
say "\nFile formats read: raw BSQ/BIL/BIP, ERDAS, ELAS, FFT, TIFF/GeoTIFF, GIF, BMP,"
say "XBM, PPM/PGM, JPEG and DICOM.  See tests/ for worked examples of each."
cd ..
file delete -force $work
