// A seed for evolution in simulation: 5 inputs feed 8 LUTs, each of which sees 4 of them, and
// those feed 3 LUTs that drive the 3 outputs. The LUT contents were drawn at random; the
// wiring is chosen so that a 2-bit adder with carry-in, y = x[1:0] + x[3:2] + x[4], is within
// reach of the LUT contents alone. keep stops yosys from merging or dropping any cell.
module lut_network (
    input  wire [4:0] x,
    output wire [2:0] y
);
    wire [7:0] h;

    // Hidden LUT j sees every input but x[j % 5].
    (* keep *) SB_LUT4 #(.LUT_INIT(16'h7857)) hidden0 (.I0(x[1]), .I1(x[2]), .I2(x[3]), .I3(x[4]), .O(h[0]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'h2E84)) hidden1 (.I0(x[0]), .I1(x[2]), .I2(x[3]), .I3(x[4]), .O(h[1]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'hBA6F)) hidden2 (.I0(x[0]), .I1(x[1]), .I2(x[3]), .I3(x[4]), .O(h[2]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'h940E)) hidden3 (.I0(x[0]), .I1(x[1]), .I2(x[2]), .I3(x[4]), .O(h[3]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'h4DC2)) hidden4 (.I0(x[0]), .I1(x[1]), .I2(x[2]), .I3(x[3]), .O(h[4]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'h3340)) hidden5 (.I0(x[1]), .I1(x[2]), .I2(x[3]), .I3(x[4]), .O(h[5]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'hE325)) hidden6 (.I0(x[0]), .I1(x[2]), .I2(x[3]), .I3(x[4]), .O(h[6]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'hB938)) hidden7 (.I0(x[0]), .I1(x[1]), .I2(x[3]), .I3(x[4]), .O(h[7]));

    (* keep *) SB_LUT4 #(.LUT_INIT(16'h68FB)) out0 (.I0(h[1]), .I1(h[2]), .I2(h[4]), .I3(h[7]), .O(y[0]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'hC1D8)) out1 (.I0(h[0]), .I1(h[2]), .I2(h[3]), .I3(h[5]), .O(y[1]));
    (* keep *) SB_LUT4 #(.LUT_INIT(16'hB774)) out2 (.I0(h[0]), .I1(h[4]), .I2(h[5]), .I3(h[6]), .O(y[2]));
endmodule
