; Waits for input 1, then makes one move of V2 steps (incremental),
; switching output 1 on while the axis moves. Input 2 ends the program.
INC
HSPD=1500
V2=800

wait:
  IF DI2=1
    GOTO done
  ENDIF
  IF DI1=0
    DELAY=10
    GOTO wait
  ENDIF
  DO1=1
  X V2
  WAITX
  DO1=0
  WHILE DI1=1            ; wait until the button is released again
    DELAY=10
  ENDWHILE
  GOTO wait

done:
  DO1=0
  END
