; Back and forth: moves between 0 and 4000 steps ten times,
; counting the trips in V1. Speed in pulses per second, acceleration in ms.
; Position 0 is where the axis stands at the start (PX=0).
HSPD=2000
ACC=300
ABS
EO=1
PX=0
V1=0                    ; trips done so far

WHILE V1<10
  X4000
  WAITX
  DELAY=250             ; ¼ second pause at each end
  X0
  WAITX
  DELAY=250
  V1=V1+1
ENDWHILE
END
