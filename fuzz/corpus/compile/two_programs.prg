; Two programs in one file. Program 0 moves the axis and counts
; the cycles in V10; program 1 watches the analog input meanwhile and
; signals on output 2 when it leaves the range 100..900, or when
; the driver output is off.
PRG 0
  HSPD=3000
  ACC=200
  ABS
  V10=0
loop:
  X2000
  GOSUB settle
  X-2000
  GOSUB settle
  V10=V10+1
  IF V10>=100 OR DI6=1
    END
  ENDIF
  GOTO loop

settle:
  WAITX
  DELAY=100
  RETURN

PRG 1
  WHILE 1=1
    IF AI<100 OR AI>900 OR EO=0
      DO2=1
    ELSEIF AI>=400 AND AI<=600
      DO2=0
    ELSE
      V11=AI/10
    ENDIF
    DELAY=50
  ENDWHILE
