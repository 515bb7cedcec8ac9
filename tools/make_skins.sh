#!/bin/sh
# Draws the skin pictures with ImageMagick and the AR PL fonts:
#   assets/upimg/*.jpg   the main window's pictures, copied to the application
#                        folder's upimg/ (suffix c: modes 't' and 'n', suffix s: mode 's')
#   assets/dialog/*.jpg  the server dialog's pictures, compiled into the program
#   assets/frame.jpg     the progress-bar frame, compiled into the program
# Run from anywhere: tools/make_skins.sh. Restyle by editing the colours below.
set -eu
cd "$(dirname "$0")/.."
UP=assets/upimg DLG=assets/dialog
mkdir -p "$UP" "$DLG"
KAI=/usr/share/fonts/truetype/arphic/ukai.ttc
MING=/usr/share/fonts/truetype/arphic/uming.ttc
SANS=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
BOLD=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
TOP='#0b2545' BOTTOM='#13315c' PANEL='#1d3f6e' EDGE='#8da9c4' ACCENT='#f4d35e'
Q="-quality 92"

# Main window background, 628 x 479: title band, two list panels with their
# headings, the status and progress area, and the button bar.
background() {  # suffix, title, heading1, heading2, font
    convert -size 628x479 gradient:"$TOP"-"$BOTTOM" \
        -fill '#081c36' -draw 'rectangle 0,0 628,58' \
        -fill "$ACCENT" -draw 'rectangle 0,58 628,60' \
        -fill "$PANEL" -stroke "$EDGE" -strokewidth 1 \
        -draw 'roundrectangle 33,66 259,286 8,8' -draw 'roundrectangle 361,66 587,286 8,8' \
        -stroke none -fill "$EDGE" -draw 'polygon 292,170 330,170 330,160 346,178 330,196 330,186 292,186' \
        -fill '#081c36' -draw 'rectangle 0,362 628,479' \
        -fill "$ACCENT" -draw 'rectangle 0,362 628,363' \
        -font "$5" -pointsize 26 -fill white -gravity northwest -annotate +24+14 "$2" \
        -font "$SANS" -pointsize 11 -fill "$EDGE" -gravity northeast -annotate +20+24 'skiff' \
        -font "$5" -pointsize 15 -fill white -gravity northwest \
        -annotate +45+70 "$3" -annotate +373+70 "$4" \
        -font "$SANS" -pointsize 10 -fill "$EDGE" -gravity south -annotate +0+8 \
        'Keeps your client in step with the update servers' \
        $Q "$UP/0$1.jpg"
}
background c '更新程式  Updater' '需要更新  to update' '已完成  updated' "$KAI"
background s '更新程序' '需要更新的程序' '已完成更新的程序' "$KAI"

# A picture button: up and pressed looks.
button() {  # file, width, text, font, pressed(0/1)
    if [ "$5" = 1 ]; then a='#c9a227' b='#f4d35e' off=+1+1; else a='#f4d35e' b='#c9a227' off=+0+0; fi
    convert -size "$2x26" gradient:"$a"-"$b" \
        -fill none -stroke '#5c4400' -strokewidth 2 -draw "roundrectangle 1,1 $(($2-2)),24 5,5" \
        -stroke none -font "$4" -pointsize 14 -fill '#1b1b1b' -gravity center -annotate "$off" "$3" \
        $Q "$1"
}
for p in 1:0 2:1; do
    n=${p%:*} pressed=${p#*:}
    button "$UP/1-${n}c.jpg" 90 '開始 Start' "$KAI" "$pressed"
    button "$UP/2-${n}c.jpg" 129 '啟動 Launch' "$KAI" "$pressed"
    button "$UP/3-${n}c.jpg" 90 '離開 Exit' "$KAI" "$pressed"
    button "$UP/1-${n}s.jpg" 90 '开始' "$KAI" "$pressed"
    button "$UP/2-${n}s.jpg" 129 '启动' "$KAI" "$pressed"
    button "$UP/3-${n}s.jpg" 90 '离开' "$KAI" "$pressed"
done

# Progress-bar frame, 545 x 24: white inside lets the gauge show through.
convert -size 545x24 xc:white -fill none -stroke "$ACCENT" -strokewidth 2 \
    -draw 'roundrectangle 0,0 544,23 4,4' $Q assets/frame.jpg

# Server dialog, 408 x 437: background with a title over the list, and the
# confirm button (1 = up, 2 = pressed) at 144, 352.
dialog() {  # suffix, title, hint, button text
    convert -size 408x437 gradient:"$TOP"-"$BOTTOM" \
        -fill '#081c36' -draw 'rectangle 0,0 408,60' -fill "$ACCENT" -draw 'rectangle 0,60 408,62' \
        -font "$KAI" -pointsize 24 -fill white -gravity north -annotate +0+14 "$2" \
        -font "$KAI" -pointsize 13 -fill "$EDGE" -gravity north -annotate +0+67 "$3" \
        $Q "$DLG/0$1.jpg"
    convert -size 120x30 gradient:'#f4d35e'-'#c9a227' -fill none -stroke '#5c4400' -strokewidth 2 \
        -draw 'roundrectangle 1,1 118,28 6,6' -stroke none -font "$KAI" -pointsize 15 -fill '#1b1b1b' \
        -gravity center -annotate +0+0 "$4" $Q "$DLG/1$1.jpg"
    convert -size 120x30 gradient:'#c9a227'-'#f4d35e' -fill none -stroke '#5c4400' -strokewidth 2 \
        -draw 'roundrectangle 1,1 118,28 6,6' -stroke none -font "$KAI" -pointsize 15 -fill '#1b1b1b' \
        -gravity center -annotate +1+1 "$4" $Q "$DLG/2$1.jpg"
}
dialog c '選擇伺服器  Choose a server' '請選擇最近的伺服器  Pick the server nearest to you' '確定  OK'
dialog s '选择服务器' '请选择最近的服务器' '确定'
echo "skins written to assets/"
